"""Model loading time: wordloom's model directory against a Hugging Face
`tokenizers` BPE model of the same size, both trained once on the
standard-library corpus (bench/corpus.py) and reused from the cache.

    python bench/load.py [--runs N]
"""
import argparse
import time

from corpus import stdlib_corpus
from encode import VOCAB_SIZE, cached_model
from peers import Loaded

SYSTEMS = ("wordloom", "tokenizers")


def best_load_seconds(system, model_path, runs):
    """The fastest of `runs` loads of the model."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        Loaded(system, model_path)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7, help="loads per system; the fastest counts")
    options = parser.parse_args()

    corpus = stdlib_corpus()
    models = {system: cached_model(system, corpus) for system in SYSTEMS}
    seconds = {system: best_load_seconds(system, path, options.runs) for system, path in models.items()}

    print(f"{VOCAB_SIZE}-token models trained on {corpus.name}, best of {options.runs} loads")
    for system, path in models.items():
        print(f"{system:12} {seconds[system] * 1e3:8.2f} ms  {path}")
    print(f"ratio wordloom / tokenizers: {seconds['wordloom'] / seconds['tokenizers']:.2f}")


if __name__ == "__main__":
    main()
