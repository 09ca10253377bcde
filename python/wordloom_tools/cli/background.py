"""Work on helper threads, so that the calling thread can go on, while the
interpreter lock is free, with the next piece of work: writing one block of
encoded lines, and reading the next, while a block is encoded."""
import queue
import threading
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from types import TracebackType

from wordloom_tools.line_input import WAKE_MILLISECONDS

HANDOVER_SECONDS = 0.05  # how often a helper waiting to hand an item over checks that it is still wanted


class Background:
    """Calls made with `start` run on one helper thread in the order made.
    Each start waits for the call before it and raises what that call
    raised; so does leaving the block, which also waits for the last one."""

    def __init__(self) -> None:
        self._executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix="wordloom-background")
        self._running: Future[None] | None = None

    def start(self, call: Callable[[], None]) -> None:
        self.wait()
        self._running = self._executor.submit(call)

    def wait(self) -> None:
        running, self._running = self._running, None
        if running is not None:
            _awake_while_waiting(running.result, TimeoutError)

    def __enter__(self) -> "Background":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        try:
            if kind is None:
                self.wait()
        finally:
            self._executor.shutdown(wait=True, cancel_futures=True)


class ReadAhead[Item]:
    """Iterates once over `items`, each taken on a helper thread, which starts
    at once, while the caller works on the one before; raises what taking
    them raised. The helper is a daemon thread, so that an interrupted caller
    never waits for input that may not come; it takes no more items once the
    block that holds this ends."""

    def __init__(self, items: Iterable[Item]) -> None:
        self._handed: queue.Queue[tuple[Item] | BaseException | None] = queue.Queue(maxsize=1)
        self._stopped = threading.Event()
        threading.Thread(target=_take_all, args=(iter(items), self._handed, self._stopped),
                         name="wordloom-read-ahead", daemon=True).start()

    def __iter__(self) -> Iterator[Item]:
        while (taken := self._take()) is not None:
            if isinstance(taken, BaseException):
                raise taken
            yield taken[0]

    def _take(self) -> tuple[Item] | BaseException | None:
        return _awake_while_waiting(self._handed.get, queue.Empty)

    def __enter__(self) -> "ReadAhead[Item]":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._stopped.set()


def _awake_while_waiting[Result](wait: Callable[..., Result], timed_out: type[Exception]) -> Result:
    """What `wait` returns, called with a timeout again and again: the main
    thread wakes between calls, as for input, to run Python's Ctrl-C handler."""
    while True:
        try:
            return wait(timeout=WAKE_MILLISECONDS / 1000)
        except timed_out:
            pass


def _take_all[Item](items: Iterator[Item], handed: "queue.Queue[tuple[Item] | BaseException | None]",
                    stopped: threading.Event) -> None:
    """Hands over each item, then None at the end or the exception raised."""
    try:
        for item in items:
            if not _hand_over((item,), handed, stopped):
                return
    except BaseException as error:
        _hand_over(error, handed, stopped)
        return
    _hand_over(None, handed, stopped)


def _hand_over[Value](value: Value, handed: "queue.Queue[Value]", stopped: threading.Event) -> bool:
    """Puts `value` in `handed` once there is room; False if the taker has stopped first."""
    while not stopped.is_set():
        try:
            handed.put(value, timeout=HANDOVER_SECONDS)
            return True
        except queue.Full:
            pass
    return False
