"""Muting a file descriptor, for the contenders that write progress to it
directly (past `sys.stdout`): wordloom's specified train() and
sentencepiece's trainer."""
import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager


@contextmanager
def silenced(fd: int) -> Iterator[None]:
    """Sends everything written to `fd` inside the block to /dev/null."""
    _flush_python_streams()
    saved = os.dup(fd)
    try:
        with open(os.devnull, "wb") as devnull:
            os.dup2(devnull.fileno(), fd)
        yield
    finally:
        _flush_python_streams()  # what Python buffered inside the block belongs to the block
        os.dup2(saved, fd)
        os.close(saved)


def _flush_python_streams() -> None:
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()
