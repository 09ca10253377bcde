"""Encode and decode throughput: one call on a large text (the first 10 MB of
the standard-library corpus by default) with 32,000-token models of wordloom,
Hugging Face `tokenizers` and sentencepiece, trained on that corpus.

    python bench/encode.py [--megabytes N] [--skip sentencepiece]
"""
import argparse
import time

from corpus import stdlib_corpus
from measure import cached_model
from peers import SYSTEMS, Loaded

VOCAB_SIZE = 32_000


def leading_text(corpus, megabytes):
    """The first `megabytes` million characters of the corpus file."""
    return corpus.read_text(encoding="utf-8")[: int(megabytes * 1e6)]


def throughput(system, model_path, text):
    """Encodes `text` in one call on a freshly loaded model, then decodes the
    ids in one call: the number of tokens and the seconds of each call."""
    model = Loaded(system, model_path)
    encode_seconds, ids = _timed(lambda: model.encode(text))
    decode_seconds, _ = _timed(lambda: model.decode(ids))
    return {"tokens": len(ids), "encode_seconds": encode_seconds, "decode_seconds": decode_seconds}


def _timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=10.0, help="size of the encoded text")
    parser.add_argument("--skip", action="append", default=[], help="leave out a system (repeatable)")
    options = parser.parse_args()

    corpus = stdlib_corpus()
    text = leading_text(corpus, options.megabytes)
    megabytes = len(text.encode("utf-8")) / 1e6
    print(f"text: {megabytes:.1f} MB of {corpus.name}, one encode call per system")
    print(f"{'system':14} {'tokens':>10} {'MB/s':>8} {'Mtok/s':>8} {'decode MB/s':>11} {'speed vs wordloom':>18}")
    rows = {system: throughput(system, cached_model(system, corpus, VOCAB_SIZE), text)
            for system in SYSTEMS if system not in options.skip}
    ours = rows["wordloom"]["encode_seconds"]
    for system, row in rows.items():
        print(f"{system:14} {row['tokens']:10} {megabytes / row['encode_seconds']:8.2f} "
              f"{row['tokens'] / row['encode_seconds'] / 1e6:8.3f} {megabytes / row['decode_seconds']:11.2f} "
              f"{ours / row['encode_seconds']:18.2f}")


if __name__ == "__main__":
    main()
