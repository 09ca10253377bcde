"""Runs one benchmark step in a fresh interpreter, so that wall time and peak
memory belong to that step alone."""
import json
import subprocess
import sys
from pathlib import Path

CHILD = """
import json, resource, sys, time
sys.path.insert(0, {bench_dir!r})
import peers
step = {step!r}
args = json.loads(sys.argv[1])
start = time.perf_counter()
result = getattr(peers, step)(*args)
seconds = time.perf_counter() - start
peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({{"seconds": seconds, "peak_mb": peak_mb, "result": str(result)}}))
"""


def in_child(step, *args, timeout=3600):
    """Calls peers.<step>(*args) in a child interpreter; returns its wall
    time (s), peak resident memory (MB) and result text."""
    code = CHILD.format(bench_dir=str(Path(__file__).parent), step=step)
    done = subprocess.run([sys.executable, "-c", code, json.dumps([str(a) if isinstance(a, Path) else a for a in args])],
                          capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"{step}{args} failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])
