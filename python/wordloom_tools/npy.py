"""Writing a one-dimensional .npy file a piece at a time, without numpy.
The header holds the length, so it is written with room to spare and again
once the length is known; the file takes its name only when it is complete,
under "<name>.partial" until then."""
import struct
import sys
from array import array
from pathlib import Path
from types import TracebackType

MAGIC = b"\x93NUMPY\x01\x00"
HEADER_BYTES = 128  # magic, header length and header: a multiple of 64, with room for any length


class NpyWriter:
    """Writes unsigned integers of `typecode` ("I", "Q": the memoryview and
    array codes) to the .npy file `path`. As a context manager it completes
    the file on success and removes it on failure."""

    def __init__(self, path: Path, typecode: str) -> None:
        self.path = path
        self._partial = path.with_name(path.name + ".partial")
        self._typecode = typecode
        self._descr = f"{'<' if sys.byteorder == 'little' else '>'}u{struct.calcsize(typecode)}"
        self._length = 0
        try:
            self._file = open(self._partial, "wb")
        except OSError as error:  # named after the file asked for, not the partial one
            raise OSError(error.errno, error.strerror, str(path)) from None
        self._file.write(self._header())

    def write(self, items: memoryview | array[int]) -> None:
        if items.itemsize != struct.calcsize(self._typecode):
            raise ValueError(f"expected items of {struct.calcsize(self._typecode)} bytes, got {items.itemsize}")
        self._file.write(items)
        self._length += len(items)

    def __enter__(self) -> "NpyWriter":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        try:
            if kind is None:
                self._file.seek(0)
                self._file.write(self._header())
            self._file.close()
        except BaseException:
            self._partial.unlink(missing_ok=True)
            raise
        if kind is None:
            self._partial.replace(self.path)
        else:
            self._partial.unlink(missing_ok=True)

    def _header(self) -> bytes:
        description = f"{{'descr': '{self._descr}', 'fortran_order': False, 'shape': ({self._length},), }}"
        room = HEADER_BYTES - len(MAGIC) - 2
        return MAGIC + struct.pack("<H", room) + description.encode("ascii").ljust(room - 1) + b"\n"
