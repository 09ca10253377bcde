"""Encode and decode throughput: one call on a large text (the first 10 MB of
the standard-library corpus by default) with 32,000-token models of wordloom,
Hugging Face `tokenizers` and sentencepiece, trained on that corpus.

    python bench/encode.py [--megabytes N] [--skip sentencepiece]
"""
import argparse
import time

from corpus import cache_dir, stdlib_corpus
from measure import in_child
from peers import SYSTEMS, Loaded

VOCAB_SIZE = 32_000


def cached_model(system, corpus):
    """Trains `system` once (in a child process) and reuses the saved model."""
    marker = cache_dir() / f"{system}-{VOCAB_SIZE}.path"
    if not marker.exists():
        path = in_child("train", system, corpus, VOCAB_SIZE, cache_dir() / f"{system}-{VOCAB_SIZE}")["result"]
        marker.write_text(path)
    return marker.read_text()


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=10.0, help="size of the encoded text")
    parser.add_argument("--skip", action="append", default=[], help="leave out a system (repeatable)")
    options = parser.parse_args()

    corpus = stdlib_corpus()
    text = corpus.read_text(encoding="utf-8")[: int(options.megabytes * 1e6)]
    megabytes = len(text.encode("utf-8")) / 1e6
    print(f"text: {megabytes:.1f} MB of {corpus.name}, one encode call per system")
    print(f"{'system':14} {'tokens':>10} {'MB/s':>8} {'Mtok/s':>8} {'decode MB/s':>11} {'speed vs wordloom':>18}")
    rows = {}
    for system in (s for s in SYSTEMS if s not in options.skip):
        model = Loaded(system, cached_model(system, corpus))
        encode_seconds, ids = timed(lambda: model.encode(text))
        decode_seconds, _ = timed(lambda: model.decode(ids))
        rows[system] = (len(ids), encode_seconds, decode_seconds)
    ours = rows["wordloom"][1]
    for system, (tokens, encode_seconds, decode_seconds) in rows.items():
        print(f"{system:14} {tokens:10} {megabytes / encode_seconds:8.2f} {tokens / encode_seconds / 1e6:8.3f} "
              f"{megabytes / decode_seconds:11.2f} {ours / encode_seconds:18.2f}")


if __name__ == "__main__":
    main()
