"""`wordloom encode`: the text argument, standard input or files, encoded a
large block of lines per call and written as lines of tokens and ids, JSON
lines or .npy arrays."""
import argparse
import os
import stat
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from functools import partial

from wordloom_tools import model_files
from wordloom_tools.cli import progress
from wordloom_tools.cli.background import Background, ReadAhead
from wordloom_tools.cli.commands import STANDARD_INPUT, require_piped_input
from wordloom_tools.cli.errors import UsageError, UserError
from wordloom_tools.cli.outputs import ARRAYS_SUFFIX, TEXT_SOURCE, Location, Output, opened_output
from wordloom_tools.failures import cause
from wordloom_tools.line_encoding import Encoded, Failed, LineEncoder
from wordloom_tools.line_input import Lines, read_blocks, split_lines

# Input per encoding call: enough to keep every core busy, and few enough
# bytes that writing one block overlaps encoding the next even for 10 MB.
BLOCK_BYTES = 4 << 20


@dataclass
class Batch:
    source: str  # the path, "standard input" or outputs.TEXT_SOURCE
    first_line: int  # the number of its first line in the source
    lines: Lines
    size: int  # bytes of input, for the progress bar

    def location(self, index: int) -> Location:
        return Location(self.source, self.first_line + index)


class Failures:
    """The lines that could not be encoded: how many, and the first."""

    def __init__(self) -> None:
        self.count = 0
        self.first = ""

    def add(self, location: Location, message: str) -> None:
        self.count += 1
        self.first = self.first or f"{location}: {message}"

    def lines(self) -> str:
        return "1 line" if self.count == 1 else f"{self.count} lines"


def run(options: argparse.Namespace) -> None:
    if options.output is not None and options.output.name.endswith(ARRAYS_SUFFIX) and options.format != "plain":
        raise UsageError(f"an {ARRAYS_SUFFIX} output holds ids only: leave out --json and --ids")
    inputs = _inputs(options)
    replace = options.on_unknown == "replace"
    # While a block is encoded, the one before is written and the next one read, each on a helper thread;
    # the first is read while the model loads.
    with ReadAhead(_batches(options.text, inputs, replace)) as batches:
        tokenizer = model_files.load(options.model)
        encoder = LineEncoder(tokenizer, replace, model_files.special_tokens(options.model) if replace else ())
        failures = Failures()
        with opened_output(options.output, options.format, tokenizer) as output, \
                progress.byte_bar("encoding", _total_size(inputs), _progress_shown(options)) as bar, \
                Background() as writer:
            for batch in batches:
                pieces = list(encoder.encode(batch.lines.texts, batch.lines.invalid))
                writer.start(partial(_write, batch, pieces, output, options.on_unknown, failures))
                bar.update(batch.size)
    if failures.count and options.on_unknown == "error":
        raise UserError(f"{failures.lines()} could not be encoded (see the error records), "
                        f"the first at {failures.first}")
    if failures.count and not options.quiet:
        print(f"wordloom encode: left out {failures.lines()} that could not be encoded, the first at {failures.first}",
              file=sys.stderr)


def _write(batch: Batch, pieces: list[Encoded | Failed], output: Output, on_unknown: str,
           failures: Failures) -> None:
    for piece in pieces:
        if isinstance(piece, Encoded):
            output.write(piece)
            continue
        location = batch.location(piece.index)
        failures.add(location, piece.message)
        if on_unknown == "error":
            output.write_failure(location, piece.message)
    output.flush()


def _inputs(options: argparse.Namespace) -> list[str]:
    """The input files, STANDARD_INPUT for standard input; none for TEXT."""
    if options.text is not None:
        if options.inputs:
            raise UsageError("give TEXT or --input, not both")
        return []
    inputs: list[str] = options.inputs or [STANDARD_INPUT]
    if STANDARD_INPUT in inputs:
        require_piped_input("give TEXT or --input FILE, or pipe text into standard input to encode each line")
    return inputs


def _batches(text: str | None, inputs: list[str], replace: bool) -> Iterator[Batch]:
    if text is not None:
        yield _text_batch(text, replace)
    for name in inputs:
        yield from _file_batches(name, replace)


def _text_batch(text: str, replace: bool) -> Batch:
    """The text argument as one line, however many line ends it holds."""
    raw = os.fsencode(text)  # the bytes the shell passed
    try:
        lines = Lines([raw.decode("utf-8", "replace" if replace else "strict")])
    except UnicodeDecodeError as error:
        lines = Lines([""], {0: cause(error)})
    return Batch(TEXT_SOURCE, 1, lines, len(raw))


def _file_batches(name: str, replace: bool) -> Iterator[Batch]:
    source = "standard input" if name == STANDARD_INPUT else name
    fd = sys.stdin.fileno() if name == STANDARD_INPUT else os.open(name, os.O_RDONLY)
    try:
        first_line = 1
        for block in read_blocks(fd, BLOCK_BYTES):
            lines = split_lines(block, replace)
            yield Batch(source, first_line, lines, len(block))
            first_line += len(lines.texts)
    finally:
        if name != STANDARD_INPUT:
            os.close(fd)


def _total_size(inputs: list[str]) -> int | None:
    """The bytes of input when every input is a file, for a bar with an end."""
    sizes = [os.fstat(sys.stdin.fileno()) if name == STANDARD_INPUT else os.stat(name) for name in inputs]
    if not sizes or not all(stat.S_ISREG(size.st_mode) for size in sizes):
        return None
    return sum(size.st_size for size in sizes)


def _progress_shown(options: argparse.Namespace) -> bool:
    """Progress for input that is read, unless the encoded lines go to the
    terminal, where they show the progress themselves."""
    return (options.text is None and progress.shown(options.quiet)
            and (options.output is not None or not sys.stdout.isatty()))

