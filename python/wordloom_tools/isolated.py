"""Runs a wordloom call that ends the whole process when it fails (training,
loading a model directory) in a child interpreter, so that the failure
reaches the caller as an exception carrying the child's message."""
import importlib
import json
import signal
import subprocess
import sys
from collections.abc import Callable
from operator import attrgetter

POLL_SECONDS = 0.1
INTERRUPTED = 130  # the child's status after Ctrl-C

# The child sees the modules this process sees, whatever set up its path.
BOOTSTRAP = ("import json, sys; sys.path[:] = json.loads(sys.argv[1]); "
             "from wordloom_tools.isolated import child_main; sys.exit(child_main(*sys.argv[2:]))")


class ChildFailed(Exception):
    """The call failed in the child; the message is the last line it wrote
    to standard error."""


def run(target: str, *args: object, while_waiting: Callable[[], None] = lambda: None) -> None:
    """Calls `target` ("module:attribute.path") with the JSON-encodable
    `args` in a child interpreter, calling `while_waiting` about every
    POLL_SECONDS until it ends. The child's standard output is discarded.
    Raises ChildFailed when the call fails, KeyboardInterrupt when it was
    interrupted; the child never outlives the call."""
    child = subprocess.Popen([sys.executable, "-c", BOOTSTRAP, json.dumps(sys.path), target, json.dumps(args)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True, errors="replace")
    try:
        stderr = _wait(child, while_waiting)
    except BaseException:
        child.kill()
        child.wait()
        raise
    if child.returncode == INTERRUPTED:
        raise KeyboardInterrupt
    if child.returncode < 0:
        raise ChildFailed(f"stopped by signal {signal.Signals(-child.returncode).name}")
    if child.returncode != 0:
        lines = stderr.strip().splitlines()
        raise ChildFailed(lines[-1] if lines else f"exit status {child.returncode}")


def _wait(child: "subprocess.Popen[str]", while_waiting: Callable[[], None]) -> str:
    while True:
        try:
            return child.communicate(timeout=POLL_SECONDS)[1]
        except subprocess.TimeoutExpired:
            while_waiting()


def child_main(target: str, arguments: str) -> int:
    """The child's side of `run`: the exit status, after writing a failure's
    message to standard error."""
    module, _, path = target.partition(":")
    function = attrgetter(path)(importlib.import_module(module))
    try:
        function(*json.loads(arguments))
    except KeyboardInterrupt:
        return INTERRUPTED
    except BaseException as error:  # wordloom's internal failures are not Exceptions
        print(error, file=sys.stderr)
        return 1
    return 0
