"""The decode and info commands."""
import argparse
import json
import re
import sys
from collections.abc import Iterator

from wordloom_tools import model_files
from wordloom_tools.cli.errors import UsageError, UserError
from wordloom_tools.failures import cause

STANDARD_INPUT = "-"  # as a file argument
MAX_TOKEN_ID = 2**32 - 1
TOKEN_ID_EXPECTED = f"a token id (a whole number from 0 to {MAX_TOKEN_ID})"
NON_WHITE_SPACE = re.compile(r"\S")
ID_SEPARATORS = re.compile(r"[\s,]+")


def decode(options: argparse.Namespace) -> None:
    tokenizer = model_files.load(options.model)
    if options.ids:
        print(tokenizer.decode(options.ids))
        return
    require_piped_input("give token ids, or pipe them into standard input")
    try:
        text = sys.stdin.buffer.read().decode("utf-8")
    except UnicodeDecodeError as error:
        raise UserError(f"standard input: {cause(error)}") from None
    for ids in id_sequences(text):
        print(tokenizer.decode(ids))


def info(options: argparse.Namespace) -> None:
    summary = model_files.summarize(options.model)
    print(f"model            {options.model}")
    for line in summary.lines():
        print(line)


def token_id(text: str) -> int:
    """`text` as a token id, or a ValueError that says what was expected."""
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= MAX_TOKEN_ID:
        raise ValueError(f"expected {TOKEN_ID_EXPECTED}, got {text!r}")
    return value


def id_sequences(text: str) -> Iterator[list[int]]:
    """The id sequences in `text`: JSON values one after another (lists of
    ids, or objects with "ids" as `encode --json` prints them, an error
    record giving no ids), or else one sequence per non-blank line, its ids
    separated by white space or commas."""
    if text.lstrip().startswith(("[", "{")):
        yield from _json_id_sequences(text)
        return
    for number, line in enumerate(text.splitlines(), start=1):
        fields = [field for field in ID_SEPARATORS.split(line) if field]
        if fields:
            try:
                yield [token_id(field) for field in fields]
            except ValueError as error:
                raise UserError(f"standard input, line {number}: {error}") from None


def _json_id_sequences(text: str) -> Iterator[list[int]]:
    decoder = json.JSONDecoder()
    position, line = 0, 1
    while (value_start := NON_WHITE_SPACE.search(text, position)) is not None:
        line += text.count("\n", position, value_start.start())
        try:
            value, position = decoder.raw_decode(text, value_start.start())
        except json.JSONDecodeError as error:
            raise UserError(f"standard input, line {error.lineno}: not valid JSON ({error.msg})") from None
        # An error record of `encode` stands for a line: it becomes an empty one.
        ids = value.get("ids", [] if "error" in value else None) if isinstance(value, dict) else value
        if not (isinstance(ids, list) and all(type(i) is int and 0 <= i <= MAX_TOKEN_ID for i in ids)):
            raise UserError(f"standard input, line {line}: expected a list of token ids, "
                            f"got {json.dumps(value)[:60]}")
        line += text.count("\n", value_start.start(), position)
        yield ids


def require_piped_input(hint: str) -> None:
    """Refuses to wait for typing: input on a terminal is almost always a
    forgotten argument."""
    if sys.stdin.isatty():
        raise UsageError(hint)
