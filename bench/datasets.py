"""Encoding datasets: the ids-only and batch methods of wordloom against
Hugging Face `tokenizers`, with 32,000-token models trained on the
standard-library corpus. Every measurement runs in a fresh interpreter, the
contenders interleaved, and the median of --runs is reported:

- ids only: `encode_ids` and the specified `encode` on the first 10 MB;
- batches: `encode_batch` on the corpus's first 100,000 lines with 1 and 2
  native threads, and `tokenizers`' `encode_batch` (its own thread pool);
- memory: the peak resident memory that `encode_batch_arrays` adds for one
  100 MB text, against the text plus twice its id array;
- long words: `encode_ids` per MB of Japanese (few spaces, so words of
  hundreds of bytes), with a model trained on it, against code.

    python bench/datasets.py [--runs 3]
"""
import argparse
import sys
import time
from pathlib import Path

from corpus import cache_dir, stdlib_corpus
from measure import cached_model, in_child, peak_mb

VOCAB_SIZE = 32_000
LINES = 100_000
JAPANESE = Path(__file__).resolve().parents[2] / "shared" / "corpora" / "soseki_wagahai_neko_ja.txt"
JAPANESE_VOCAB_SIZE = 8_000


def _timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def _wordloom(model_path):
    import wordloom

    return wordloom.BpeTokenizer.load(model_path)


def one_text(method, model_path, corpus, megabytes):
    """Child: seconds of one `method` call on the first `megabytes` MB."""
    tokenizer = _wordloom(model_path)
    text = Path(corpus).read_text(encoding="utf-8")[: int(megabytes * 1e6)]
    encode = tokenizer.encode_ids if method == "encode_ids" else lambda text: tokenizer.encode(text).ids
    seconds, ids = _timed(lambda: encode(text))
    return {"seconds": seconds, "megabytes": len(text.encode("utf-8")) / 1e6, "ids": len(ids)}


def batch(system, model_path, corpus, threads):
    """Child: seconds of one batch call on the corpus's first LINES lines."""
    with open(corpus, encoding="utf-8") as lines:
        texts = [line for _, line in zip(range(LINES), lines)]
    if system == "tokenizers":
        from tokenizers import Tokenizer

        tokenizer = Tokenizer.from_file(model_path)
        seconds, _ = _timed(lambda: tokenizer.encode_batch(texts))
    else:
        tokenizer = _wordloom(model_path)
        seconds, _ = _timed(lambda: tokenizer.encode_batch(texts, num_threads=threads))
    return {"seconds": seconds, "megabytes": sum(map(len, texts)) / 1e6}


def arrays_memory(model_path, text_path, ascii_only):
    """Child: the peak resident memory of one encode_batch_arrays call on a
    text (its non-ASCII characters left out if `ascii_only`), beside the
    text's and the ids' own sizes (MB)."""
    tokenizer = _wordloom(model_path)
    text = Path(text_path).read_text(encoding="utf-8")
    if ascii_only:
        text = text.encode("ascii", "ignore").decode("ascii")
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak restarts from the present, past reading the file
    before = _resident_mb()
    ids, _ = tokenizer.encode_batch_arrays([text])
    return {"added_mb": peak_mb() - before, "text_mb": sys.getsizeof(text) / 1e6,
            "ids_mb": ids.nbytes / 1e6}


def _resident_mb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024


def interleaved(runs, steps):
    """Runs each of `steps` (name: (step, args)) `runs` times, one run of
    each in turn; for each name, the result whose seconds are the median."""
    results = {name: [] for name in steps}
    for _ in range(runs):
        for name, (step, args) in steps.items():
            results[name].append(in_child(step, *args)["result"])
    return {name: sorted(found, key=lambda r: r["seconds"])[len(found) // 2] for name, found in results.items()}


def japanese_model():
    """A wordloom model of the Japanese corpus, trained once and cached."""
    directory = cache_dir() / f"wordloom-{JAPANESE.stem}-{JAPANESE_VOCAB_SIZE}"
    if not (directory / "config.json").exists():
        in_child("peers.train", "wordloom", str(JAPANESE), JAPANESE_VOCAB_SIZE, str(directory))
    return str(directory)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3, help="runs of each measurement; the median is reported")
    runs = parser.parse_args().runs
    corpus = str(stdlib_corpus())
    ours = cached_model("wordloom", corpus, VOCAB_SIZE)
    theirs = cached_model("tokenizers", corpus, VOCAB_SIZE)

    def rate(result):
        return result["megabytes"] / result["seconds"]

    steps = {
        "encode_ids, 10 MB": ("datasets.one_text", ("encode_ids", ours, corpus, 10)),
        "encode, 10 MB": ("datasets.one_text", ("encode", ours, corpus, 10)),
        f"wordloom encode_batch, {LINES:,} lines, 1 thread": ("datasets.batch", ("wordloom", ours, corpus, 1)),
        f"wordloom encode_batch, {LINES:,} lines, 2 threads": ("datasets.batch", ("wordloom", ours, corpus, 2)),
        f"tokenizers encode_batch, {LINES:,} lines": ("datasets.batch", ("tokenizers", theirs, corpus, None)),
    }
    if JAPANESE.exists():
        steps["Japanese, encode_ids"] = ("datasets.one_text", ("encode_ids", japanese_model(), str(JAPANESE), 100))
    measured = interleaved(runs, steps)
    print(f"median of {runs} interleaved runs:")
    for name, result in measured.items():
        print(f"  {name:45} {rate(result):6.1f} MB/s")
    one, two, peer = (result["seconds"] for name, result in measured.items() if "encode_batch" in name)
    print(f"  2 threads against 1: {one / two:.2f}x; 2 threads against tokenizers: {peer / two:.2f}x")
    if JAPANESE.exists():
        cost = rate(measured["encode_ids, 10 MB"]) / rate(measured["Japanese, encode_ids"])
        print(f"  Japanese costs {cost:.2f} times as much per MB as code")

    stress_text = cache_dir() / "stress-300mb-first-100mb.txt"
    if stress_text.exists():
        for ascii_only in (False, True):
            memory = in_child("datasets.arrays_memory", ours, str(stress_text), ascii_only)["result"]
            print(f"encode_batch_arrays on a str of {memory['text_mb']:.0f} MB ({stress_text.name}"
                  f"{', ASCII only' if ascii_only else ''}) added {memory['added_mb']:.0f} MB at its peak; "
                  f"its ids take {memory['ids_mb']:.0f} MB")
    else:
        print("memory: run bench/stress.py once to build its 100 MB text")


if __name__ == "__main__":
    main()
