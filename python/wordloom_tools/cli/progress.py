"""Progress on standard error, drawn only while a person can watch it:
standard error is a terminal and --quiet was not given. Each display clears
its line when it closes, so messages that follow start on a clean line."""
import sys
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import NoReturn, TypeVar

from tqdm import tqdm

Item = TypeVar("Item")


def shown(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


def byte_bar(label: str, total: int | None, show: bool) -> "tqdm[NoReturn]":
    """A bar counting bytes towards `total` (a plain count when None); the
    caller adds to it with update(n)."""
    return tqdm(desc=label, total=total, unit="B", unit_scale=True, unit_divisor=1024, disable=not show,
                leave=False, file=sys.stderr)


def counted(items: list[Item], label: str, show: bool) -> Iterable[Item]:
    """`items`, counted on a bar as they are taken."""
    return tqdm(items, desc=label, disable=not show, leave=False, file=sys.stderr)


class TrainingBars:
    """Training's progress: bytes read (towards `total_bytes`, when known),
    then merges done, each on a bar of its own."""

    def __init__(self, total_bytes: int | None, show: bool) -> None:
        self._show = show
        self._reading = byte_bar("reading", total_bytes, show)
        self._merging: "tqdm[NoReturn] | None" = None

    def read(self, size: int) -> None:
        self._reading.update(size)

    def reading_on(self) -> Callable[[str, int, int], None]:
        """A progress callable for one counting call, whose bytes come after
        those read so far."""
        before = self._reading.n

        def report(phase: str, done: int, total: int) -> None:
            self._reading.n = before + done
            self._reading.refresh()
        return report

    def merges(self, phase: str, done: int, total: int) -> None:
        """The progress callable of training."""
        if self._merging is None:
            self._reading.close()
            self._merging = tqdm(desc="merging", total=total, unit=" merges", disable=not self._show, leave=False,
                                 file=sys.stderr)
        self._merging.n = done
        self._merging.refresh()

    def __enter__(self) -> "TrainingBars":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._reading.close()
        if self._merging is not None:
            self._merging.close()
