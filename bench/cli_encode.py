"""Throughput of the `wordloom encode` command: the first 10 MB of the
standard-library corpus (whole lines) piped into it through `cat`, with the
32,000-token model, for each output format; the median of a few rounds, each
of which runs every measurement once, so that all of them see the same load
of a shared machine. Startup (interpreter, imports, model loading) is timed on
an empty input and shown apart, with the throughput once it is taken off; one
encode_batch_arrays call on the same lines, in this process, is the reference
for what the command adds to the library.

    python bench/cli_encode.py [--megabytes N] [--runs N]
"""
import argparse
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import wordloom

from corpus import stdlib_corpus
from measure import cached_model

VOCAB_SIZE = 32_000
FORMATS = {"plain (tokens, ids)": [], "--ids (JSON lines)": ["--ids"], "--json": ["--json"],
           ".npy arrays": ["--output", "{directory}/ids.npy"]}


def leading_lines(corpus, megabytes, path):
    """Writes the whole lines in the first `megabytes` million bytes of the
    corpus to `path`; returns their size in MB."""
    data = corpus.read_bytes()[: int(megabytes * 1e6)]
    path.write_bytes(data[: data.rfind(b"\n") + 1])
    return path.stat().st_size / 1e6


def seconds(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def round_robin_medians(calls, runs):
    """The median wall time of each call of `calls` (a dict), run in turn
    `runs` times over, so that every call sees the same changes in the load
    of a shared machine."""
    times = {name: [] for name in calls}
    for _ in range(runs):
        for name, run in calls.items():
            times[name].append(seconds(run))
    return {name: statistics.median(spans) for name, spans in times.items()}


def shell(command):
    return lambda: subprocess.run(command, shell=True, check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=10.0, help="size of the encoded text")
    parser.add_argument("--runs", type=int, default=3, help="runs per format; the median counts")
    options = parser.parse_args()

    model = cached_model("wordloom", stdlib_corpus(), VOCAB_SIZE)
    encode = f"{shlex.quote(sys.executable)} -m wordloom_tools encode --model {shlex.quote(str(model))}"
    with tempfile.TemporaryDirectory(prefix="wordloom-cli-") as directory:
        sample = Path(directory) / "sample.txt"
        megabytes = leading_lines(stdlib_corpus(), options.megabytes, sample)
        tokenizer = wordloom.BpeTokenizer.load(model)
        lines = sample.read_text(encoding="utf-8").split("\n")[:-1]  # as the command splits them
        calls = {"startup": shell(f"{encode} < /dev/null"),
                 "library": lambda: tokenizer.encode_batch_arrays(lines)}
        for name, arguments in FORMATS.items():
            extra = " ".join(shlex.quote(argument.format(directory=directory)) for argument in arguments)
            calls[name] = shell(f"cat {shlex.quote(str(sample))} | {encode} {extra}")
        medians = round_robin_medians(calls, options.runs)
        startup, library = medians.pop("startup"), medians.pop("library")
        print(f"text: {megabytes:.1f} MB of whole lines, piped in with cat; {os.cpu_count()} CPUs, load average "
              f"{os.getloadavg()[0]:.1f}; startup {startup:.2f} s; one encode_batch_arrays call {library:.2f} s "
              f"({megabytes / library:.1f} MB/s)")
        print(f"{'output':22} {'seconds':>8} {'MB/s':>7} {'MB/s after startup':>19}")
        for name, median in medians.items():
            print(f"{name:22} {median:8.2f} {megabytes / median:7.1f} {megabytes / (median - startup):19.1f}")


if __name__ == "__main__":
    main()
