"""The whole benchmark in one run: wordloom against Hugging Face `tokenizers`
and sentencepiece on the standard-library corpus. Measures training time and
peak memory at two vocabulary sizes (each training in its own fresh process),
model loading time, and encode and decode throughput; prints the table and
writes it to bench/report/RESULTS.md with a chart, bench/report/ratios.png.

    python bench/run.py [--megabytes N] [--load-runs N]
"""
import argparse
import os
import platform
import sys
from dataclasses import dataclass
from datetime import date
from importlib import metadata
from pathlib import Path

from corpus import stdlib_corpus
from encode import leading_text, throughput
from load import load_seconds
from measure import train_model
from peers import SENTENCEPIECE_OPTIONS, SYSTEMS

VOCAB_SIZES = (8_000, 32_000)
REPORT_DIR = Path(__file__).parent / "report"
PEERS = tuple(system for system in SYSTEMS if system != "wordloom")


@dataclass
class Row:
    """One measure for every system; `better` is "lower", "higher" or None
    for a figure that is neither (it is shown but not charted)."""
    name: str
    unit: str
    better: str | None
    values: dict
    digits: int = 2

    def ratio(self, system):
        return self.values[system] / self.values["wordloom"]

    def advantage(self, system):
        """How many times better wordloom is than `system` on this measure."""
        return self.ratio(system) if self.better == "lower" else 1 / self.ratio(system)

    def figure(self, system):
        return f"{self.values[system]:,.{self.digits}f}"


def measure(corpus, text, load_runs):
    rows = []
    for vocab_size in VOCAB_SIZES:
        print(f"training at {vocab_size:,} tokens ...", file=sys.stderr)
        trained = {system: train_model(system, corpus, vocab_size) for system in SYSTEMS}
        rows.append(Row(f"training time, {vocab_size:,} tokens", "s", "lower",
                        {system: trained[system]["seconds"] for system in SYSTEMS}))
        rows.append(Row(f"training peak memory, {vocab_size:,} tokens", "MB", "lower",
                        {system: trained[system]["peak_mb"] for system in SYSTEMS}, digits=0))
    models = {system: trained[system]["result"] for system in SYSTEMS}  # the largest vocabulary

    print("loading, encoding and decoding ...", file=sys.stderr)
    rows.append(Row(f"model loading time, {VOCAB_SIZES[-1]:,} tokens", "ms", "lower",
                    {system: load_seconds(system, models[system], load_runs) * 1e3 for system in SYSTEMS}))
    megabytes = len(text.encode("utf-8")) / 1e6
    flows = {system: throughput(system, models[system], text) for system in SYSTEMS}
    rows += [
        Row("encode throughput", "MB/s", "higher",
            {system: megabytes / flow["encode_seconds"] for system, flow in flows.items()}),
        Row("encode throughput", "M tokens/s", "higher",
            {system: flow["tokens"] / flow["encode_seconds"] / 1e6 for system, flow in flows.items()}, digits=3),
        Row("decode throughput", "MB/s", "higher",
            {system: megabytes / flow["decode_seconds"] for system, flow in flows.items()}),
        Row(f"tokens for the {megabytes:.0f} MB text", "thousands", None,
            {system: flow["tokens"] / 1e3 for system, flow in flows.items()}, digits=0),
    ]
    return rows


# ---- the machine --------------------------------------------------------------------------------

def machine():
    """Lines that say what the figures were measured on."""
    return [
        f"CPU: {_proc_field('/proc/cpuinfo', 'model name') or platform.processor()}",
        f"cores: {os.cpu_count()}",
        f"memory: {int(_proc_field('/proc/meminfo', 'MemTotal').split()[0]) / 2**20:.1f} GiB",
        f"system: {platform.platform()}",
        f"Python {platform.python_version()}; "
        + ", ".join(f"{system} {_version(system)}" for system in SYSTEMS),
    ]


def _proc_field(path, name):
    with open(path, encoding="utf-8") as lines:
        return next((line.split(":", 1)[1].strip() for line in lines if line.startswith(name)), "")


def _version(distribution):
    try:
        return metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return "(source tree)"


# ---- output ---------------------------------------------------------------------------------------

def cells(row):
    """The measure's name and one cell per system; a peer's cell carries its
    ratio to wordloom."""
    peers = [f"{row.figure(system)} ({row.ratio(system):.2f}×)" for system in PEERS]
    return [f"{row.name} ({row.unit})", row.better or "", row.figure("wordloom"), *peers]


HEADER = ["measure", "better", *SYSTEMS]


def text_table(rows):
    table = [HEADER] + [cells(row) for row in rows]
    widths = [max(len(line[column]) for line in table) for column in range(len(HEADER))]
    return "\n".join("  ".join(cell.ljust(width) if column < 2 else cell.rjust(width)
                               for column, (cell, width) in enumerate(zip(line, widths))) for line in table)


def markdown_table(rows):
    lines = ["| " + " | ".join(HEADER) + " |", "|---|---|" + "---:|" * len(SYSTEMS)]
    lines += ["| " + " | ".join(cells(row)) + " |" for row in rows]
    return "\n".join(lines)


def write_markdown(path, rows, corpus, megabytes, load_runs):
    options = ", ".join(f"{name}={value}" for name, value in SENTENCEPIECE_OPTIONS.items())
    path.write_text(f"""# Benchmark results

Measured on {date.today().isoformat()} with `python bench/run.py`.

{markdown_table(rows)}

In parentheses: the peer's figure divided by wordloom's.

![How many times better wordloom is than each peer](ratios.png)

## Machine

{chr(10).join(f"- {line}" for line in machine())}

## What was measured

- Corpus: the .py files of the Python {platform.python_version()} standard library,
  concatenated ({corpus.stat().st_size / 1e6:.1f} MB); every system trains on all of it.
- Training: one fresh interpreter per system and vocabulary size. The time is
  the training call (importing the library, reading the corpus and saving the
  model included); the memory is the child's peak resident set (the
  interpreter's own ~12 MB included).
- wordloom and `tokenizers` split words at white space and mark word ends
  with `</w>`; sentencepiece trains in BPE mode with {options}.
- Loading: the best of {load_runs} loads of each system's {VOCAB_SIZES[-1]:,}-token model.
- Encoding: one call on the first {megabytes:.0f} MB of the corpus with a freshly
  loaded {VOCAB_SIZES[-1]:,}-token model; decoding: one call on the ids it gave.
  Token counts differ between systems, so both bytes and tokens per second
  are shown.
- Every figure but loading comes from a single run; on a small shared
  machine, repeated runs differ by up to a few tens of percent.
""", encoding="utf-8")


def draw_chart(path, rows):
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot, ticker

    charted = [row for row in rows if row.better]
    labels = [f"{row.name}\n({row.unit}, {row.better} is better)" for row in charted]
    height = 0.8 / len(PEERS)
    figure, axes = pyplot.subplots(figsize=(9, 0.75 * len(charted) + 1.8), layout="constrained")
    factors = {peer: [row.advantage(peer) for row in charted] for peer in PEERS}
    for index, peer in enumerate(PEERS):
        positions = [row_index + index * height for row_index in range(len(charted))]
        bars = axes.barh(positions, factors[peer], height=height, label=f"vs {peer}")
        axes.bar_label(bars, labels=[f"{factor:.2f}×" for factor in factors[peer]], padding=3, fontsize=8)
    every_factor = [factor for values in factors.values() for factor in values]
    axes.set_xscale("log")
    axes.set_xlim(min(every_factor + [1]) / 2, max(every_factor + [1]) * 2)  # room for the labels
    axes.xaxis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:g}×"))
    axes.axvline(1, color="black", linewidth=0.8)
    axes.set_yticks([row_index + height * (len(PEERS) - 1) / 2 for row_index in range(len(charted))], labels)
    axes.tick_params(axis="y", labelsize=8)
    axes.invert_yaxis()
    axes.set_xlabel("how many times better wordloom is (right of 1×: wordloom is better; left: the peer)")
    axes.set_title("wordloom against its peers, standard-library corpus")
    figure.legend(loc="outside lower center", ncols=len(PEERS))
    figure.savefig(path, dpi=120)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=10.0, help="size of the encoded text")
    parser.add_argument("--load-runs", type=int, default=7, help="loads per system; the best is reported")
    options = parser.parse_args()

    corpus = stdlib_corpus()
    text = leading_text(corpus, options.megabytes)
    rows = measure(corpus, text, options.load_runs)
    print(text_table(rows))
    REPORT_DIR.mkdir(exist_ok=True)
    write_markdown(REPORT_DIR / "RESULTS.md", rows, corpus, len(text.encode("utf-8")) / 1e6, options.load_runs)
    draw_chart(REPORT_DIR / "ratios.png", rows)
    print(f"written: {REPORT_DIR / 'RESULTS.md'}, {REPORT_DIR / 'ratios.png'}")


if __name__ == "__main__":
    main()
