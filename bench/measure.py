"""Runs one benchmark step in a fresh interpreter, so that wall time and peak
memory belong to that step alone; trains the models that the other
benchmarks load and keeps them in the cache."""
import json
import shutil
import subprocess
import sys
from pathlib import Path

from corpus import cache_dir

CHILD = """
import json, sys, time
sys.path.insert(0, {bench_dir!r})
from measure import peak_mb
from {module} import {function} as step
args = json.loads(sys.argv[1])
start = time.perf_counter()
result = step(*args)
seconds = time.perf_counter() - start
print(json.dumps({{"seconds": seconds, "peak_mb": peak_mb(), "result": result}}, default=str))
"""
TRAINED = "trained-model-path"  # written beside a model once its training has finished


def peak_mb():
    """This process's peak resident memory in MB. It is read from VmHWM:
    ru_maxrss would also count the parent's peak, which Linux carries over
    through fork and exec."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) / 1024


def in_child(step, *args, timeout=3600):
    """Calls `step`, "module.function" of a bench module, with `args` in a
    child interpreter; returns its wall time (s), peak resident memory (MB)
    and result (JSON, other values as text)."""
    module, function = step.rsplit(".", 1)
    code = CHILD.format(bench_dir=str(Path(__file__).parent), module=module, function=function)
    done = subprocess.run([sys.executable, "-c", code, json.dumps(args, default=str)],
                          capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"{step}{args} failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def train_model(system, corpus, vocab_size):
    """Trains `system` afresh in a child interpreter, keeping the model in the
    cache; returns the child's measurement ("result" is the model's path)."""
    directory = _model_dir(system, corpus, vocab_size)
    shutil.rmtree(directory, ignore_errors=True)
    measured = in_child("peers.train", system, corpus, vocab_size, directory)
    (directory / TRAINED).write_text(measured["result"])
    return measured


def cached_model(system, corpus, vocab_size):
    """The path of a cached `system` model, trained first if there is none."""
    marker = _model_dir(system, corpus, vocab_size) / TRAINED
    if not marker.exists():
        train_model(system, corpus, vocab_size)
    return marker.read_text()


def _model_dir(system, corpus, vocab_size):
    return cache_dir() / f"{system}-{Path(corpus).stem}-{vocab_size}"
