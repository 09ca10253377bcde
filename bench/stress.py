"""Stress benchmark for wordloom alone: training on a corpus of at least
300 MB whose distinct-word count keeps growing (the standard-library corpus
repeated, every identifier of round r renamed with the suffix _r), then one
encode call on the first 100 MB of it with the trained model. Each step runs
in a fresh interpreter; reports wall time, peak resident memory and the ratio
of peak memory to input size. Inputs are cached beside the other benchmarks'.

    python bench/stress.py [--corpus-mb 300] [--text-mb 100] [--vocab-size 32000] [--repeat 10]

With --repeat N, training runs once more on the corpus repeated N times (the
same distinct words, N times the text), built under the temporary directory
and deleted afterwards: its peak memory should match the single corpus's and
its time grow linearly.
"""
import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from corpus import cache_dir, stdlib_corpus

IDENTIFIER = re.compile(r"\b[A-Za-z_][A-Za-z0-9_]*")

# The child measures its own peak: VmHWM belongs to its address space, while
# ru_maxrss would also count the parent's peak, which Linux carries over
# through fork and exec.
PRELUDE = """
import json, sys, time, wordloom

def peak_mb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) / 1024
"""

TRAIN = PRELUDE + """
corpus, vocab_size, model_dir = sys.argv[1], int(sys.argv[2]), sys.argv[3]
tokenizer = wordloom.BpeTokenizer(corpus, vocab_size, wordloom.PreTokenization.whitespace(),
                                  save_model=True, output_dir=model_dir)
start = time.perf_counter()
tokenizer.train()
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "peak_mb": peak_mb(), "vocab": repr(tokenizer)}))
"""

ENCODE = PRELUDE + """
tokenizer = wordloom.BpeTokenizer.from_pretrained(sys.argv[1])
with open(sys.argv[2], encoding="utf-8", newline="") as source:
    text = source.read()
before_mb = peak_mb()
start = time.perf_counter()
tokens = len(tokenizer.encode(text).ids)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "peak_mb": peak_mb(), "tokens": tokens, "before_mb": before_mb}))
"""


def measured(code, *args):
    """Runs `code` in a fresh interpreter; returns the JSON object it printed last."""
    done = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"step failed with status {done.returncode}:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def stress_corpus(megabytes):
    """The corpus file and its count of distinct white-space-separated words,
    built on first use: round r of the standard-library corpus with every
    identifier renamed by the suffix _r (round 0 unchanged), until the size is
    reached."""
    path = cache_dir() / f"stress-{megabytes}mb.txt"
    facts = path.with_suffix(".json")
    if not facts.exists():
        source = stdlib_corpus().read_text(encoding="utf-8")
        distinct, written, rounds = set(), 0, 0
        with open(path, "w", encoding="utf-8", newline="") as corpus:
            while written < megabytes * 1_000_000:
                chunk = IDENTIFIER.sub(rf"\g<0>_{rounds}", source) if rounds else source
                corpus.write(chunk)
                distinct.update(chunk.split())
                written += len(chunk.encode("utf-8"))
                rounds += 1
        facts.write_text(json.dumps({"rounds": rounds, "distinct_words": len(distinct)}))
    return path, json.loads(facts.read_text())


def leading_text(corpus, megabytes):
    """The first `megabytes` of the corpus, cut at a line end, as a file."""
    path = corpus.with_name(f"{corpus.stem}-first-{megabytes}mb.txt")
    if not path.exists():
        with open(corpus, "rb") as source:
            head = source.read(megabytes * 1_000_000)
        path.write_bytes(head[: head.rfind(b"\n") + 1])
    return path


def repeated_corpus(corpus, times, directory):
    """The corpus file `times` times over, written into `directory`."""
    path = Path(directory) / f"{corpus.stem}-times-{times}.txt"
    with open(path, "wb") as repeated:
        for _ in range(times):
            with open(corpus, "rb") as source:
                shutil.copyfileobj(source, repeated, 1 << 24)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus-mb", type=int, default=300, help="least size of the training corpus")
    parser.add_argument("--text-mb", type=int, default=100, help="size of the encoded text")
    parser.add_argument("--vocab-size", type=int, default=32_000)
    parser.add_argument("--repeat", type=int, default=0, metavar="N",
                        help="also train on the corpus repeated N times (not kept)")
    options = parser.parse_args()

    corpus, facts = stress_corpus(options.corpus_mb)
    text = leading_text(corpus, options.text_mb)
    corpus_mb, text_mb = corpus.stat().st_size / 1e6, text.stat().st_size / 1e6
    print(f"corpus: {corpus_mb:.1f} MB, {facts['rounds']} rounds of the standard-library corpus, "
          f"{facts['distinct_words']:,} distinct words; vocabulary {options.vocab_size:,}")

    with tempfile.TemporaryDirectory() as model_dir:
        train = measured(TRAIN, corpus, options.vocab_size, model_dir)
        encode = measured(ENCODE, model_dir, text)
    steps = [("train", corpus_mb, train), ("encode", text_mb, encode)]
    if options.repeat:
        with tempfile.TemporaryDirectory() as scratch:
            repeated = repeated_corpus(corpus, options.repeat, scratch)
            steps.append((f"train x{options.repeat}", repeated.stat().st_size / 1e6,
                          measured(TRAIN, repeated, options.vocab_size, scratch)))
    print(f"{'step':10} {'input MB':>9} {'time s':>8} {'peak MB':>9} {'peak/input':>10}")
    for step, input_mb, result in steps:
        print(f"{step:10} {input_mb:9.1f} {result['seconds']:8.1f} {result['peak_mb']:9.0f} "
              f"{result['peak_mb'] / input_mb:10.2f}")
    if options.repeat:
        repeated = steps[-1][2]
        print(f"repeated {options.repeat} times: peak memory x{repeated['peak_mb'] / train['peak_mb']:.2f}, "
              f"time x{repeated['seconds'] / train['seconds']:.2f}")
    print(f"trained {train['vocab']}; encoded {encode['tokens']:,} tokens at {text_mb / encode['seconds']:.1f} MB/s, "
          f"{encode['before_mb']:.0f} MB resident before the call (interpreter, model, text)")


if __name__ == "__main__":
    main()
