"""Stress benchmark for wordloom alone: training on a corpus of at least
300 MB whose distinct-word count keeps growing (the standard-library corpus
repeated, every identifier of round r renamed with the suffix _r), then one
encode call on the first 100 MB of it with the trained model. Each step runs
in a fresh interpreter, the steps in turn, --runs times; reports the median
wall time, peak resident memory and the ratio of peak memory to input size.
Inputs are cached beside the other benchmarks'.

    python bench/stress.py [--corpus-mb 300] [--text-mb 100] [--vocab-size 32000] [--repeat 10] [--tokenizers]
                           [--runs 3]

With --repeat N, training runs once more on the corpus repeated N times (the
same distinct words, N times the text), built under the temporary directory
and deleted afterwards: its peak memory should match the single corpus's and
its time grow linearly. With --tokenizers, Hugging Face `tokenizers` trains
on the corpus too, in a process of its own, for the ratio of the two.
"""
import argparse
import json
import re
import shutil
import statistics
import tempfile
import time
from pathlib import Path

from corpus import cache_dir, stdlib_corpus
from measure import in_child, peak_mb

IDENTIFIER = re.compile(r"\b[A-Za-z_][A-Za-z0-9_]*")


def train_step(corpus, vocab_size, model_dir):
    """Run in the child: trains on `corpus` and saves the model to `model_dir`."""
    import wordloom

    tokenizer = wordloom.BpeTokenizer(corpus, vocab_size, wordloom.PreTokenization.whitespace(),
                                      save_model=True, output_dir=model_dir)
    tokenizer.train()
    return repr(tokenizer)


def encode_step(model_dir, text_path):
    """Run in the child: loads the model and the text, then encodes the text
    in one call, timed alone."""
    import wordloom

    tokenizer = wordloom.BpeTokenizer.from_pretrained(model_dir)
    with open(text_path, encoding="utf-8", newline="") as source:
        text = source.read()
    before_mb = peak_mb()
    start = time.perf_counter()
    tokens = len(tokenizer.encode(text).ids)
    return {"seconds": time.perf_counter() - start, "tokens": tokens, "before_mb": before_mb}


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


def step_outcome(step, *args):
    """Runs `step` in a fresh interpreter: its seconds, peak memory and result.
    The encode step times its call alone and says so in its result."""
    child = in_child(step, *args, timeout=None)
    result = child["result"]
    seconds = result["seconds"] if isinstance(result, dict) else child["seconds"]
    return {"seconds": seconds, "peak_mb": child["peak_mb"], "result": result}


def median_outcomes(steps, runs):
    """Runs every step `runs` times, the steps in turn within each round, and
    keeps each step's median time and median peak with its last result."""
    outcomes = {name: [] for name in steps}
    for _ in range(runs):
        for name, run in steps.items():
            outcomes[name].append(run())
    return {name: {"seconds": statistics.median(o["seconds"] for o in rounds),
                   "peak_mb": statistics.median(o["peak_mb"] for o in rounds),
                   "result": rounds[-1]["result"]}
            for name, rounds in outcomes.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus-mb", type=int, default=300, help="least size of the training corpus")
    parser.add_argument("--text-mb", type=int, default=100, help="size of the encoded text")
    parser.add_argument("--vocab-size", type=int, default=32_000)
    parser.add_argument("--repeat", type=int, default=0, metavar="N",
                        help="also train on the corpus repeated N times (not kept)")
    parser.add_argument("--tokenizers", action="store_true", help="also train Hugging Face tokenizers on the corpus")
    parser.add_argument("--runs", type=int, default=3, help="runs of every step; the medians count")
    options = parser.parse_args()

    corpus, facts = stress_corpus(options.corpus_mb)
    text = leading_text(corpus, options.text_mb)
    sizes = {"train": corpus.stat().st_size / 1e6, "encode": text.stat().st_size / 1e6}
    print(f"corpus: {sizes['train']:.1f} MB, {facts['rounds']} rounds of the standard-library corpus, "
          f"{facts['distinct_words']:,} distinct words; vocabulary {options.vocab_size:,}; "
          f"median of {options.runs} runs")

    with tempfile.TemporaryDirectory() as scratch:
        model_dir = Path(scratch) / "model"
        model_dir.mkdir()
        steps = {"train": lambda: step_outcome("stress.train_step", corpus, options.vocab_size, str(model_dir)),
                 "encode": lambda: step_outcome("stress.encode_step", str(model_dir), text)}
        repeated_name = f"train x{options.repeat}"
        if options.repeat:
            repeated = repeated_corpus(corpus, options.repeat, scratch)
            sizes[repeated_name] = repeated.stat().st_size / 1e6
            steps[repeated_name] = lambda: step_outcome("stress.train_step", repeated, options.vocab_size, scratch)
        if options.tokenizers:
            sizes["tokenizers"] = sizes["train"]
            steps["tokenizers"] = lambda: step_outcome("peers.train", "tokenizers", corpus, options.vocab_size,
                                                       scratch)
        outcomes = median_outcomes(steps, options.runs)

    print(f"{'step':10} {'input MB':>9} {'time s':>8} {'peak MB':>9} {'peak/input':>10}")
    for step, outcome in outcomes.items():
        print(f"{step:10} {sizes[step]:9.1f} {outcome['seconds']:8.1f} {outcome['peak_mb']:9.0f} "
              f"{outcome['peak_mb'] / sizes[step]:10.2f}")
    train, encoding = outcomes["train"], outcomes["encode"]
    if options.tokenizers:
        peer = outcomes["tokenizers"]
        print(f"tokenizers against wordloom: time x{peer['seconds'] / train['seconds']:.2f}, "
              f"peak memory x{peer['peak_mb'] / train['peak_mb']:.2f}")
    if options.repeat:
        again = outcomes[repeated_name]
        print(f"repeated {options.repeat} times: peak memory x{again['peak_mb'] / train['peak_mb']:.2f}, "
              f"time x{again['seconds'] / train['seconds']:.2f}")
    print(f"trained {train['result']}; encoded {encoding['result']['tokens']:,} tokens at "
          f"{sizes['encode'] / encoding['seconds']:.1f} MB/s, {encoding['result']['before_mb']:.0f} MB resident "
          "before the call (interpreter, model, text)")


if __name__ == "__main__":
    main()
