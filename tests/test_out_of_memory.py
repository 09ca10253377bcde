"""Running out of memory is an ordinary failure: under an address-space limit
training and loading either succeed or raise MemoryError (loading may also
take its fatal path), and never end the process by a signal or a panic."""
import itertools
import os
import random
import re
import string
import subprocess
import sys

import pytest

from conftest import write_model_files

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("WORDLOOM_EXPECT_SANITIZED")),
    reason="AddressSanitizer reserves terabytes of address space up front, so an address-space limit is meaningless")

LIMITS = 10
MEMORY_ERROR = 3

# Lowers the address-space limit to what is in use plus argv[3] bytes, runs
# the work, lifts the limit again and prints how far the address space grew.
CHILD = """
import os, resource, sys
import wordloom

def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field + ":"))

work, path, headroom = sys.argv[1], sys.argv[2], int(sys.argv[3])
if work == "train":
    call = wordloom.BpeTokenizer(path, 2000, wordloom.PreTokenization.whitespace()).train
else:
    call = lambda: wordloom.BpeTokenizer.from_pretrained(path)
unlimited = resource.getrlimit(resource.RLIMIT_AS)
in_use = status("VmSize")
resource.setrlimit(resource.RLIMIT_AS, (in_use + headroom, unlimited[1]))
try:
    call()
except MemoryError:
    os._exit(%d)
resource.setrlimit(resource.RLIMIT_AS, unlimited)
print("grew", status("VmPeak") - in_use)
""" % MEMORY_ERROR


@pytest.fixture(scope="module")
def short_word_corpus(tmp_path_factory):
    """About 20 MB of words of one to seven letters drawn from 20,000 of them."""
    rng = random.Random(20)
    words = ["".join(rng.choices(string.ascii_lowercase, k=rng.randint(1, 7))) for _ in range(20_000)]
    path = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    path.write_text(" ".join(rng.choices(words, k=3_300_000)), encoding="ascii")
    return str(path)


@pytest.fixture(scope="module")
def large_model(tmp_path_factory):
    """A model of 300,000 tokens: the letters, then every string of two or
    more letters in length order, each merged from its prefix and last letter."""
    tokens = list(string.ascii_lowercase) + ["</w>"]
    ids = {token: i for i, token in enumerate(tokens)}
    merges = []
    for letters in itertools.chain.from_iterable(
            itertools.product(string.ascii_lowercase, repeat=length) for length in itertools.count(2)):
        if len(tokens) == 300_000:
            break
        token = "".join(letters)
        merges.append((ids[token[:-1]], ids[token[-1]], len(tokens)))
        ids[token] = len(tokens)
        tokens.append(token)
    return write_model_files(tmp_path_factory.mktemp("model") / "model", tokens, merges)


def run_limited(work, path, headroom):
    # One malloc arena: a worker thread's own arena would reserve 64 MB of
    # address space that is hardly used, and most limits would fall in it.
    return subprocess.run([sys.executable, "-c", CHILD, work, path, str(headroom)], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ, MALLOC_ARENA_MAX="1"))


def growth_without_limit(work, path):
    done = run_limited(work, path, 1 << 40)
    assert done.returncode == 0, done.stderr
    return int(re.search(r"^grew (\d+)$", done.stdout, re.MULTILINE).group(1))


def outcomes_under_limits(work, path):
    """The child's return code and standard error under LIMITS limits, from no
    headroom at all to a little more than the work needs."""
    enough = growth_without_limit(work, path) * 5 // 4
    outcomes = []
    for step in range(LIMITS):
        done = run_limited(work, path, enough * step // (LIMITS - 1))
        outcomes.append((done.returncode, done.stderr))
    return outcomes


@pytest.mark.parametrize("work, input_fixture", [("train", "short_word_corpus"), ("load", "large_model")])
def test_succeeds_or_raises_memory_error(request, work, input_fixture):
    outcomes = outcomes_under_limits(work, request.getfixturevalue(input_fixture))
    for returncode, stderr in outcomes:
        if work == "load" and returncode == 1:  # the loader's fatal path
            assert re.fullmatch(r"Error: [^\n]*\n", stderr), stderr
        else:
            assert returncode in (0, MEMORY_ERROR), stderr
    assert outcomes[0][0] == MEMORY_ERROR and outcomes[-1][0] == 0
