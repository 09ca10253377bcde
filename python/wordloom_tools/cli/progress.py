"""Progress on standard error, drawn only while a person can watch it:
standard error is a terminal and --quiet was not given. Each display clears
its line when it closes, so messages that follow start on a clean line.
tqdm is imported only for a display that is shown: with its own imports and
the lock it makes, it would add about a tenth of the start-up time."""
import sys
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import TYPE_CHECKING, Any, NoReturn, TypeVar

if TYPE_CHECKING:
    from tqdm import tqdm

Item = TypeVar("Item")


class HiddenBar:
    """Stands in for a bar that is not shown: it counts, and draws nothing."""

    def __init__(self) -> None:
        self.n = 0

    def update(self, n: int = 1) -> None:
        self.n += n

    def refresh(self) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> "HiddenBar":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        pass


def shown(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


def byte_bar(label: str, total: int | None, show: bool) -> "tqdm[NoReturn] | HiddenBar":
    """A bar counting bytes towards `total` (a plain count when None); the
    caller adds to it with update(n)."""
    return _bar(show, desc=label, total=total, unit="B", unit_scale=True, unit_divisor=1024)


def counted(items: list[Item], label: str, show: bool) -> Iterable[Item]:
    """`items`, counted on a bar as they are taken."""
    if not show:
        return items
    from tqdm import tqdm
    return tqdm(items, desc=label, leave=False, file=sys.stderr)


def _bar(show: bool, **settings: Any) -> "tqdm[NoReturn] | HiddenBar":
    if not show:
        return HiddenBar()
    from tqdm import tqdm
    return tqdm(leave=False, file=sys.stderr, **settings)


class TrainingBars:
    """Training's progress: bytes read (towards `total_bytes`, when known),
    then merges done, each on a bar of its own."""

    def __init__(self, total_bytes: int | None, show: bool) -> None:
        self._show = show
        self._reading = byte_bar("reading", total_bytes, show)
        self._merging: "tqdm[NoReturn] | HiddenBar | None" = None

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
            self._merging = _bar(self._show, desc="merging", total=total, unit=" merges")
        self._merging.n = done
        self._merging.refresh()

    def __enter__(self) -> "TrainingBars":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._reading.close()
        if self._merging is not None:
            self._merging.close()
