"""Encoding many lines in few calls: a whole batch goes to
BpeTokenizer.encode_batch_arrays at once, and a line with a character the
model has no token for costs extra calls only near that line.

A failed call names the first failing line; the lines before it are encoded
again on their own and the rest in a window that shrinks near failures and
doubles after each call that succeeds, so that many failing lines cost about
one call each rather than one call on the whole rest of the batch each."""
import re
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass

import wordloom

# How encode_batch_arrays reports a character without a token.
UNKNOWN_CHARACTER = re.compile(r"text (\d+): (the character .* \(U\+([0-9A-F]+)\) has no token in the vocabulary)",
                               re.DOTALL)


@dataclass
class Encoded:
    """Consecutive lines and their ids: line i of `texts` has
    ids[offsets[i]:offsets[i + 1]]."""
    texts: list[str]
    ids: memoryview
    offsets: memoryview


@dataclass
class Failed:
    """The line at `index` cannot be encoded, for the reason in `message`."""
    index: int
    message: str


@dataclass
class _Unknown:
    index: int
    character: str
    message: str


class LineEncoder:
    """Encodes lists of lines with `tokenizer`. With `replace_unknown`, the
    characters that have no token are dropped from a line (outside the
    `special_tokens`) and the rest is encoded; without, such a line fails."""

    def __init__(self, tokenizer: wordloom.BpeTokenizer, replace_unknown: bool = False,
                 special_tokens: Sequence[str] = ()) -> None:
        self._tokenizer = tokenizer
        self._replace_unknown = replace_unknown
        # A capturing group, so that splitting keeps the special tokens at the odd places.
        longest_first = sorted(special_tokens, key=len, reverse=True)
        self._special = re.compile(f"({'|'.join(map(re.escape, longest_first))})") if special_tokens else None
        self._dropped: dict[int, None] = {}  # the characters learned to have no token, as a str.translate table

    def encode(self, lines: list[str], failed: Mapping[int, str] = {}) -> Iterator[Encoded | Failed]:
        """Pieces that cover `lines` in order; the lines at the indices in
        `failed` are known to fail already, for the reasons it gives."""
        start = 0
        for index in sorted(failed):
            yield from self._encode_run(lines[start:index], start)
            yield Failed(index, failed[index])
            start = index + 1
        yield from self._encode_run(lines[start:], start)

    def _encode_run(self, lines: list[str], start: int) -> Iterator[Encoded | Failed]:
        done, window = 0, len(lines)
        while done < len(lines):
            part = self._without_unknown_in_all(lines[done:done + window])
            outcome = self._try(part)
            if isinstance(outcome, _Unknown):
                if outcome.index:
                    yield self._encoded(part[:outcome.index])
                yield self._unknown_in(start + done + outcome.index, part[outcome.index], outcome)
                done += outcome.index + 1
                window = max(2 * outcome.index, 1)
            else:
                yield Encoded(part, *outcome)
                done += len(part)
                window *= 2

    def _try(self, lines: list[str]) -> tuple[memoryview, memoryview] | _Unknown:
        try:
            return self._tokenizer.encode_batch_arrays(lines)
        except ValueError as error:
            unknown = UNKNOWN_CHARACTER.fullmatch(str(error))
            if unknown is None:
                raise
            return _Unknown(int(unknown[1]), chr(int(unknown[3], 16)), unknown[2])

    def _encoded(self, lines: list[str]) -> Encoded:
        """Lines known to encode: the lines before a failed one."""
        outcome = self._try(lines)
        assert not isinstance(outcome, _Unknown), "a line before the first failing one failed"
        return Encoded(lines, *outcome)

    def _unknown_in(self, index: int, line: str, unknown: _Unknown) -> Encoded | Failed:
        """The line without its unknown characters, encoded, or the failure."""
        if not self._replace_unknown:
            return Failed(index, unknown.message)
        outcome: tuple[memoryview, memoryview] | _Unknown = unknown
        while isinstance(outcome, _Unknown):
            self._dropped[ord(outcome.character)] = None
            shorter = self._without_unknown(line)
            if shorter == line:  # the character only occurs where this side sees a special token
                return Failed(index, unknown.message)
            line = shorter
            outcome = self._try([line])
        return Encoded([line], *outcome)

    def _without_unknown_in_all(self, lines: list[str]) -> list[str]:
        """`lines` without the characters learned to have no token so far, in
        one pass over them all, so that those cost no more calls."""
        if not self._dropped:
            return lines
        text = "\n".join(lines)
        if text.count("\n") != len(lines) - 1:  # lines that hold line ends: left to one at a time
            return lines
        return self._without_unknown(text).split("\n")

    def _without_unknown(self, line: str) -> str:
        if self._special is None:
            return line.translate(self._dropped)
        parts = self._special.split(line)
        parts[::2] = [part.translate(self._dropped) for part in parts[::2]]
        return "".join(parts)
