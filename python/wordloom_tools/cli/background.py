"""One call at a time on a helper thread, so that the calling thread can go
on, while the interpreter lock is free, with the next piece of work (writing
one block of encoded lines while the next block is encoded)."""
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from types import TracebackType


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
            running.result()

    def __enter__(self) -> "Background":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        try:
            if kind is None:
                self.wait()
        finally:
            self._executor.shutdown(wait=True, cancel_futures=True)
