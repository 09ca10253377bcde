"""Training time and peak memory: wordloom against Hugging Face `tokenizers`
and sentencepiece, each in its own fresh process, on the standard-library
corpus (32,000 tokens) and the shared corpora (8,000 tokens). The models are
kept for bench/load.py and bench/encode.py.

    python bench/train.py [--only stdlib] [--skip sentencepiece]
"""
import argparse
from pathlib import Path

from corpus import stdlib_corpus
from measure import train_model
from peers import SYSTEMS

SHARED_CORPORA = Path(__file__).resolve().parents[2] / "shared" / "corpora"


def corpora():
    yield "stdlib", stdlib_corpus(), 32_000
    for path in sorted(SHARED_CORPORA.glob("*.txt")):
        yield path.stem, path, 8_000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="run only the corpus with this name")
    parser.add_argument("--skip", action="append", default=[], help="leave out a system (repeatable)")
    options = parser.parse_args()
    systems = [s for s in SYSTEMS if s not in options.skip]

    print(f"{'corpus':28} {'system':14} {'vocab':>6} {'time s':>8} {'peak MB':>8} {'time ratio':>10} {'mem ratio':>9}")
    for name, corpus, vocab_size in corpora():
        if options.only and name != options.only:
            continue
        results = {system: train_model(system, corpus, vocab_size) for system in systems}
        ours = results["wordloom"]
        for system, measured in results.items():
            print(f"{name + f' ({Path(corpus).stat().st_size / 1e6:.1f} MB)':28} {system:14} {vocab_size:6} "
                  f"{measured['seconds']:8.2f} {measured['peak_mb']:8.0f} "
                  f"{measured['seconds'] / ours['seconds']:10.2f} {measured['peak_mb'] / ours['peak_mb']:9.2f}")


if __name__ == "__main__":
    main()
