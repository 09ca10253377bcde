"""Throughput of the `wordloom encode` command: the first 10 MB of the
standard-library corpus (whole lines) piped into it through `cat`, with the
32,000-token model, for each output format; the best of a few runs. Startup
(interpreter, imports, model loading) is timed on an empty input and shown
apart, with the throughput once it is taken off.

    python bench/cli_encode.py [--megabytes N] [--runs N]
"""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile
import time
from pathlib import Path

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


def best_seconds(command, runs):
    """The shortest wall time of `runs` runs of the shell command."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, shell=True, check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=10.0, help="size of the encoded text")
    parser.add_argument("--runs", type=int, default=3, help="runs per format; the best one counts")
    options = parser.parse_args()

    model = cached_model("wordloom", stdlib_corpus(), VOCAB_SIZE)
    wordloom = f"{shlex.quote(sys.executable)} -m wordloom_tools encode --model {shlex.quote(str(model))}"
    with tempfile.TemporaryDirectory(prefix="wordloom-cli-") as directory:
        sample = Path(directory) / "sample.txt"
        megabytes = leading_lines(stdlib_corpus(), options.megabytes, sample)
        startup = best_seconds(f"{wordloom} < /dev/null", options.runs)
        print(f"text: {megabytes:.1f} MB of whole lines, piped in with cat; {os.cpu_count()} CPUs; "
              f"startup {startup:.2f} s")
        print(f"{'output':22} {'seconds':>8} {'MB/s':>7} {'MB/s after startup':>19}")
        for name, arguments in FORMATS.items():
            extra = " ".join(shlex.quote(argument.format(directory=directory)) for argument in arguments)
            seconds = best_seconds(f"cat {shlex.quote(str(sample))} | {wordloom} {extra}", options.runs)
            print(f"{name:22} {seconds:8.2f} {megabytes / seconds:7.1f} {megabytes / (seconds - startup):19.1f}")


if __name__ == "__main__":
    main()
