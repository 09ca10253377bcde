"""Input read a large block of whole lines at a time, and blocks split into
lines of text. A line ends at "\\n", and "\\r\\n" ends one too."""
import os
import select
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import AnyStr

from wordloom_tools.failures import cause

READ_BYTES = 1 << 16  # the least one read asks for, so that a long line grows in few reads
IDLE_MILLISECONDS = 20  # no input for this long ends a block: a pause of the writer, not a slow pipe
# A wait of the main thread (for input, or for a helper thread) wakes this
# often: the system may hand Ctrl-C to a helper thread, and only the main
# thread runs Python's handler, when it wakes.
WAKE_MILLISECONDS = 100


def read_blocks(fd: int, size: int) -> Iterator[bytes]:
    """Blocks of whole lines from `fd`, about `size` bytes each, the last one
    without its final line end if the input has none. A block is cut short
    when no more input comes for IDLE_MILLISECONDS, so that lines typed or
    piped in now and then are handed on as they come."""
    buffer = bytearray()
    at_end = False
    while not at_end:
        at_end = not _read_some(fd, buffer, size)
        cut = len(buffer) if at_end else buffer.rfind(b"\n") + 1
        if cut:
            yield bytes(buffer[:cut])
            del buffer[:cut]


def _read_some(fd: int, buffer: bytearray, size: int) -> bool:
    """Adds to `buffer` until it holds `size` bytes or the input is idle,
    reading at least once; False at the end of the input."""
    while True:
        _wait_for_input(fd)
        data = os.read(fd, max(size - len(buffer), READ_BYTES))
        if not data:
            return False
        buffer += data
        if len(buffer) >= size or _idle(fd):
            return True


def _idle(fd: int) -> bool:
    return not _polled(fd).poll(IDLE_MILLISECONDS)


def _wait_for_input(fd: int) -> None:
    """Returns once `fd` has input or its end."""
    poll = _polled(fd)
    while not poll.poll(WAKE_MILLISECONDS):
        pass


def _polled(fd: int) -> select.poll:
    poll = select.poll()
    poll.register(fd, select.POLLIN)
    return poll


@dataclass
class Lines:
    """The lines of a block; a line that is not valid UTF-8 is "" in `texts`
    and its cause is in `invalid` under its index."""
    texts: list[str]
    invalid: dict[int, str] = field(default_factory=dict)


def split_lines(block: bytes, replace_invalid: bool = False) -> Lines:
    """The lines of `block`; with `replace_invalid`, bytes that are not UTF-8
    become U+FFFD instead of making their line invalid."""
    try:
        return Lines(_split(block.decode("utf-8", "replace" if replace_invalid else "strict"), "\n", "\r"))
    except UnicodeDecodeError:
        pass
    lines = Lines([])
    for index, line in enumerate(_split(block, b"\n", b"\r")):
        try:
            lines.texts.append(line.decode("utf-8"))
        except UnicodeDecodeError as error:
            lines.texts.append("")
            lines.invalid[index] = cause(error)
    return lines


def _split(text: AnyStr, newline: AnyStr, carriage_return: AnyStr) -> list[AnyStr]:
    if carriage_return in text:  # a search for one character: far quicker than replace() finding nothing
        text = text.replace(carriage_return + newline, newline)
    lines = text.split(newline)
    if text.endswith(newline):
        lines.pop()
    return lines
