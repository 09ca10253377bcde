"""`wordloom train`: the word counts of files, directories and standard
input, counted here or on a Dask cluster, trained into a model that is saved
to a directory."""
import argparse
import operator
import os
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass
from functools import partial, reduce
from itertools import groupby
from pathlib import Path

from wordloom_tools import WordCounts, model_files, training
from wordloom_tools.cli import progress
from wordloom_tools.cli.commands import require_piped_input
from wordloom_tools.cli.errors import UsageError, UserError
from wordloom_tools.failures import cause, not_utf8
from wordloom_tools.line_input import read_blocks
from wordloom_tools.training import Settings, TrainingError

BLOCK_BYTES = 8 << 20  # standard input is counted a block of whole lines at a time


@dataclass(frozen=True)
class Corpus:
    """A CORPUS argument: its name as given and its files, None for
    standard input."""
    name: str
    files: list[Path] | None


def files_in(directory: Path) -> list[Path]:
    """The files of a directory given as a corpus: every regular file in it
    and its subdirectories, except hidden ones (a name starting with "."),
    in the order of their paths."""
    return sorted(path for path in directory.rglob("*")
                  if path.is_file() and not any(part.startswith(".") for part in path.relative_to(directory).parts))


def run(options: argparse.Namespace) -> None:
    corpora: list[Corpus] = options.corpus
    if any(corpus.files is None for corpus in corpora):
        if options.dask:
            raise UsageError("--dask counts files on the cluster, not standard input")
        require_piped_input("pipe a corpus into standard input, or give files or directories")
    settings = Settings(options.punctuation, tuple(options.special_tokens), options.aho_corasick)
    seconds = train_model(corpora, settings, options.vocab_size, options.out, options.quiet, options.dask)
    names = ", ".join("standard input" if corpus.files is None else corpus.name for corpus in corpora)
    print(f"trained on {names} in {seconds:.2f} s; model saved to {options.out}")
    for line in model_files.summarize(options.out).lines():
        print(line)


def train_model(corpora: list[Corpus], settings: Settings, vocab_size: int, out: Path, quiet: bool,
                dask_address: str | None = None) -> float:
    """Counts, trains and saves a model, showing how far it is; returns the
    seconds it took."""
    start = time.perf_counter()
    total_bytes = None if dask_address else _total_bytes(corpora)
    with progress.TrainingBars(total_bytes, progress.shown(quiet)) as bars:
        count = (partial(_count_on_cluster, dask_address, corpora, settings) if dask_address
                 else partial(_count, corpora, settings, bars))
        training.train_counts(count, vocab_size, out, progress=bars.merges)
    return time.perf_counter() - start


def _count(corpora: list[Corpus], settings: Settings, bars: progress.TrainingBars) -> WordCounts:
    """The word counts of the corpora in order, consecutive files in one pass."""
    parts = []
    for are_files, group in groupby(corpora, key=lambda corpus: corpus.files is not None):
        if are_files:
            files = [path for corpus in group for path in corpus.files or []]
            parts.append(settings.count_files(files, progress=bars.reading_on()))
        else:
            parts.extend(settings.count_texts(_standard_input_texts(settings, bars)) for _ in group)
    return reduce(operator.add, parts)


def _standard_input_texts(settings: Settings, bars: progress.TrainingBars) -> Iterator[str]:
    """Standard input a block of whole lines at a time (all at once when a
    special token holds a line end, which a cut after a line end could split)."""
    blocks = read_blocks(sys.stdin.fileno(), BLOCK_BYTES)
    if any("\n" in token for token in settings.special_tokens):
        blocks = iter([b"".join(blocks)])
    offset = 0
    for block in blocks:
        try:
            text = block.decode("utf-8")
        except UnicodeDecodeError as error:
            raise TrainingError(f"standard input: {not_utf8(error, offset)}") from None
        offset += len(block)
        bars.read(len(block))
        yield text


def _count_on_cluster(address: str, corpora: list[Corpus], settings: Settings) -> WordCounts:
    """The word counts of the corpus files, counted by the workers of the
    Dask scheduler at `address` (they must see the files at these paths)."""
    try:  # the dask extra is optional: nothing of it is imported unless asked for
        from distributed import Client

        from wordloom_tools.dask import count_words
    except ImportError as error:
        raise UserError(f"--dask needs the dask extra: pip install 'wordloom[dask]' ({error})") from None
    try:
        client = Client(address)
    except (OSError, ValueError) as error:
        raise TrainingError(f"cannot reach the Dask scheduler at {address}: {cause(error)}") from None
    with client, training.reading_failures():
        return count_words([os.fspath(path) for corpus in corpora for path in corpus.files or []],
                           "punctuation" if settings.punctuation else "whitespace", list(settings.special_tokens),
                           "aho_corasick" if settings.aho_corasick else None, client=client)


def _total_bytes(corpora: list[Corpus]) -> int | None:
    """The size of the corpus when every part is a file, for a bar with an end."""
    if any(corpus.files is None for corpus in corpora):
        return None
    return sum(path.stat().st_size for corpus in corpora for path in corpus.files or [])
