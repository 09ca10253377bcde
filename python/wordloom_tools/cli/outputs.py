"""What `wordloom encode` writes, to standard output or a file: lines of
tokens and ids, JSON lines or .npy arrays. Lines of ids are formatted a whole
block at a time by native code, which leaves the interpreter lock free for
encoding the next block meanwhile."""
import json
import sys
from array import array
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Protocol

import wordloom

from wordloom_tools import _native, model_files
from wordloom_tools.cli.errors import UserError
from wordloom_tools.line_encoding import Encoded
from wordloom_tools.npy import NpyWriter

TEXT_SOURCE = "TEXT"  # how messages and error records name the text argument
ARRAYS_SUFFIX = ".npy"
OFFSETS_SUFFIX = ".offsets.npy"


@dataclass(frozen=True)
class Location:
    source: str  # a path, "standard input" or TEXT_SOURCE
    line: int

    def __str__(self) -> str:
        return self.source if self.source == TEXT_SOURCE else f"{self.source}, line {self.line}"


class Output(Protocol):
    def write(self, piece: Encoded) -> None: ...

    def write_failure(self, location: Location, message: str) -> None:
        """Records a line that could not be encoded, or raises UserError
        when the output has no place for it."""

    def flush(self) -> None: ...


class _TextOutput:
    def __init__(self, stream: BinaryIO, tokenizer: wordloom.BpeTokenizer) -> None:
        self._stream = stream
        self._tokenizer = tokenizer

    def _write(self, lines: Iterator[str]) -> None:
        self._stream.write("".join(lines).encode("utf-8"))

    def _write_joined(self, piece: Encoded, fields: "_native._Fields") -> None:
        self._stream.write(_native.joined_lines(piece.ids, piece.offsets, fields))

    def flush(self) -> None:
        self._stream.flush()


class PlainLines(_TextOutput):
    """Per text a line of tokens and a line of ids, separated by spaces; a
    failure ends the run, as these lines have no room for it."""

    def __init__(self, stream: BinaryIO, tokenizer: wordloom.BpeTokenizer) -> None:
        super().__init__(stream, tokenizer)
        tokens = [token.encode("utf-8") for token in model_files.vocabulary(tokenizer)]
        self._fields = ((b"", tokens, b" ", b"\n"), (b"", None, b" ", b"\n"))

    def write(self, piece: Encoded) -> None:
        self._write_joined(piece, self._fields)

    def write_failure(self, location: Location, message: str) -> None:
        raise UserError(f"{location}: {message}")


class _JsonLines(_TextOutput):
    """One JSON object per text; a line that could not be encoded gets
    {"input": source, "line": number, "error": message}."""

    def write_failure(self, location: Location, message: str) -> None:
        record = {"input": location.source, "line": location.line, "error": message}
        self._write(iter([json.dumps(record, ensure_ascii=False), "\n"]))


class IdLines(_JsonLines):
    """{"ids": [...]} per text."""

    FIELDS = ((b'{"ids": [', None, b", ", b"]}\n"),)

    def write(self, piece: Encoded) -> None:
        self._write_joined(piece, self.FIELDS)


class DescribedLines(_JsonLines):
    """The text, its tokens, ids and token types per text: each line is
    encoded once more on its own for the tokens' types."""

    def write(self, piece: Encoded) -> None:
        self._write(map(self._record, piece.texts))

    def _record(self, text: str) -> str:
        encoded = self._tokenizer.encode(text)
        return json.dumps({"text": encoded.original_text, "tokens": encoded.tokens, "ids": encoded.ids,
                           "types": [token_type_name(kind) for kind in encoded.token_types]},
                          ensure_ascii=False) + "\n"


class ArrayFiles:
    """The ids of every text one after another in FILE.npy (uint32), and
    where each text's ids start in FILE.offsets.npy (uint64, one more entry
    than texts: text i has ids[offsets[i]:offsets[i + 1]])."""

    def __init__(self, ids: NpyWriter, offsets: NpyWriter) -> None:
        self._ids = ids
        self._offsets = offsets
        self._written = 0
        offsets.write(array("Q", [0]))

    def write(self, piece: Encoded) -> None:
        self._ids.write(piece.ids)
        self._offsets.write(memoryview(_native.shifted(piece.offsets[1:], self._written)).cast("Q"))
        self._written += len(piece.ids)

    def write_failure(self, location: Location, message: str) -> None:
        raise UserError(f"{location}: {message} (no arrays written)")

    def flush(self) -> None:
        pass


TEXT_FORMATS: dict[str, Callable[[BinaryIO, wordloom.BpeTokenizer], Output]] = {
    "plain": PlainLines, "ids": IdLines, "json": DescribedLines}


@contextmanager
def opened_output(path: Path | None, text_format: str, tokenizer: wordloom.BpeTokenizer) -> Iterator[Output]:
    """Standard output when `path` is None, else the file at `path`: .npy
    arrays when it ends in ARRAYS_SUFFIX (complete or not there at all)."""
    if path is None:
        yield TEXT_FORMATS[text_format](sys.stdout.buffer, tokenizer)
    elif path.name.endswith(ARRAYS_SUFFIX):
        with NpyWriter(path, "I") as ids, NpyWriter(offsets_path(path), "Q") as offsets:
            yield ArrayFiles(ids, offsets)
    else:
        with open(path, "wb") as stream:
            yield TEXT_FORMATS[text_format](stream, tokenizer)


def offsets_path(ids_path: Path) -> Path:
    """Where the offsets go beside the ids: x.npy -> x.offsets.npy."""
    return ids_path.with_name(ids_path.name.removesuffix(ARRAYS_SUFFIX) + OFFSETS_SUFFIX)


def token_type_name(token_type: wordloom.TokenType) -> str:
    """The name of a wordloom.TokenType: "word", "subword" or "specialtoken"."""
    return repr(token_type).removeprefix("TokenType.").lower()
