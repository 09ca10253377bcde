"""The train, encode, decode and info commands."""
import argparse
import json
import os
import re
import stat
import sys
import time
from collections.abc import Iterator
from typing import Any

import wordloom

from wordloom_tools import encoding, model_files, training
from wordloom_tools.cli import progress
from wordloom_tools.cli.errors import UsageError, UserError
from wordloom_tools.failures import cause
from wordloom_tools.silence import silenced

MAX_TOKEN_ID = 2**32 - 1
TOKEN_ID_EXPECTED = f"a token id (a whole number from 0 to {MAX_TOKEN_ID})"
NON_WHITE_SPACE = re.compile(r"\S")
ID_SEPARATORS = re.compile(r"[\s,]+")


def train(options: argparse.Namespace) -> None:
    seconds = train_model(options.corpus, options.vocab_size, options.out, options.quiet,
                          punctuation=options.punctuation, special_tokens=options.special_tokens,
                          aho_corasick=options.aho_corasick)
    print(f"trained on {options.corpus} in {seconds:.2f} s; model saved to {options.out}")
    for line in model_files.summarize(options.out).lines():
        print(line)


def train_model(corpus: os.PathLike[str], vocab_size: int, out: os.PathLike[str], quiet: bool,
                **settings: Any) -> float:
    """Trains and saves a model, showing that training runs; returns the
    seconds it took."""
    start = time.perf_counter()
    with progress.spinner("training", progress.shown(quiet)) as turn:
        training.train_isolated(corpus, vocab_size, out, while_waiting=turn, **settings)
    return time.perf_counter() - start


def encode(options: argparse.Namespace) -> None:
    tokenizer = model_files.load(options.model)
    show = _show_json if options.json else _show_plain
    if options.text is not None:
        show(encode_text(tokenizer, options.text))
        return
    _require_piped_input("give TEXT, or pipe text into standard input to encode each line")
    # Standard output on the terminal shows the progress itself.
    shown = progress.shown(options.quiet) and not sys.stdout.isatty()
    with progress.byte_bar("encoding", _input_size(), shown) as bar:
        for number, line in enumerate(sys.stdin.buffer, start=1):
            # Invalid UTF-8 survives as surrogates, which encoding then reports.
            text = line.decode("utf-8", "surrogateescape").rstrip("\r\n")
            show(encode_text(tokenizer, text, where=f"line {number}: "))
            bar.update(len(line))


def encode_text(tokenizer: wordloom.BpeTokenizer, text: str, where: str = "") -> wordloom.Encoder:
    """The encoding of `text`, or a UserError when it has a character that
    the model never saw or is not valid UTF-8; `where` prefixes the message."""
    try:
        with silenced(2):  # the extension prints a diagnostic of its own before raising
            return encoding.encode(tokenizer, text)
    except UnicodeEncodeError:
        raise UserError(f"{where}the text is not valid UTF-8") from None
    except ValueError as error:
        raise UserError(f"{where}{error}") from None


def decode(options: argparse.Namespace) -> None:
    tokenizer = model_files.load(options.model)
    if options.ids:
        print(tokenizer.decode(options.ids))
        return
    _require_piped_input("give token ids, or pipe them into standard input")
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
    ids, or objects with "ids" as `encode --json` prints them), or else one
    sequence per non-blank line, its ids separated by white space or commas."""
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
        ids = value.get("ids") if isinstance(value, dict) else value
        if not (isinstance(ids, list) and all(type(i) is int and 0 <= i <= MAX_TOKEN_ID for i in ids)):
            raise UserError(f"standard input, line {line}: expected a list of token ids, "
                            f"got {json.dumps(value)[:60]}")
        line += text.count("\n", value_start.start(), position)
        yield ids


def _require_piped_input(hint: str) -> None:
    """Refuses to wait for typing: input on a terminal is almost always a
    forgotten argument."""
    if sys.stdin.isatty():
        raise UsageError(hint)


def _input_size() -> int | None:
    """The size of standard input when it is a file, for a bar with an end."""
    status = os.fstat(sys.stdin.fileno())
    return status.st_size if stat.S_ISREG(status.st_mode) else None


def _show_plain(encoded: wordloom.Encoder) -> None:
    print(" ".join(encoded.tokens))
    print(" ".join(map(str, encoded.ids)))


def _show_json(encoded: wordloom.Encoder) -> None:
    print(json.dumps({"text": encoded.original_text, "tokens": encoded.tokens, "ids": encoded.ids,
                      "types": [token_type_name(kind) for kind in encoded.token_types]},
                     ensure_ascii=False))


def token_type_name(token_type: wordloom.TokenType) -> str:
    """The name of a wordloom.TokenType: "word", "subword" or "specialtoken"."""
    return repr(token_type).removeprefix("TokenType.").lower()
