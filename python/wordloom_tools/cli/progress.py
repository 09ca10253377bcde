"""Progress on standard error, drawn only while a person can watch it:
standard error is a terminal and --quiet was not given. Each display clears
its line when it closes, so messages that follow start on a clean line."""
import itertools
import sys
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from typing import NoReturn, TypeVar

from tqdm import tqdm

Item = TypeVar("Item")


def shown(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


@contextmanager
def spinner(label: str, show: bool) -> Iterator[Callable[[], None]]:
    """A line with `label`, a turning bar and the elapsed time, for a step
    that cannot tell how far it is; the block calls the function it gets
    now and then to turn the bar."""
    frames = itertools.cycle("|/-\\")
    with tqdm(desc=label, bar_format="{desc} {elapsed}", disable=not show, leave=False, file=sys.stderr) as bar:
        yield lambda: bar.set_description_str(f"{label} {next(frames)}")


def byte_bar(label: str, total: int | None, show: bool) -> "tqdm[NoReturn]":
    """A bar counting bytes towards `total` (a plain count when None); the
    caller adds to it with update(n)."""
    return tqdm(desc=label, total=total, unit="B", unit_scale=True, unit_divisor=1024, disable=not show,
                leave=False, file=sys.stderr)


def counted(items: list[Item], label: str, show: bool) -> Iterable[Item]:
    """`items`, counted on a bar as they are taken."""
    return tqdm(items, desc=label, disable=not show, leave=False, file=sys.stderr)
