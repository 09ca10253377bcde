"""Model loading time of wordloom, Hugging Face `tokenizers` and
sentencepiece, for 32,000-token models trained on the standard-library corpus
(bench/corpus.py). Trained models are cached and reused.

    python bench/load.py [--runs N] [--retrain]
"""
import argparse
import time

from corpus import stdlib_corpus
from measure import cached_model, train_model
from peers import SYSTEMS, Loaded

VOCAB_SIZE = 32_000


def load_seconds(system, model_path, runs):
    """The fastest of `runs` loads of the model at `model_path`, in seconds."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        Loaded(system, model_path)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7, help="loads per tokenizer; the best is reported")
    parser.add_argument("--retrain", action="store_true", help="train the models again instead of reusing them")
    options = parser.parse_args()

    corpus = stdlib_corpus()
    print(f"corpus: {corpus} ({corpus.stat().st_size / 1e6:.1f} MB), {VOCAB_SIZE} tokens, best of {options.runs}")
    times = {}
    for system in SYSTEMS:
        path = train_model(system, corpus, VOCAB_SIZE)["result"] if options.retrain else \
            cached_model(system, corpus, VOCAB_SIZE)
        times[system] = load_seconds(system, path, options.runs)
    for system, seconds in times.items():
        print(f"{system:14} load {seconds * 1e3:8.2f} ms   {seconds / times['wordloom']:6.2f} x wordloom")


if __name__ == "__main__":
    main()
