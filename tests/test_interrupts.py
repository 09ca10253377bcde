"""Ctrl-C during long calls: KeyboardInterrupt arrives quickly and the
tokenizer is left as it was before the call."""
import signal
import string
import subprocess
import sys
import time

import pytest

TRAIN_CHILD = """
import sys, time, wordloom
tokenizer = wordloom.BpeTokenizer(sys.argv[1], 10**9, wordloom.PreTokenization.whitespace())
print("started", flush=True)
try:
    tokenizer.train()
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print(repr(tokenizer), flush=True)
try:
    tokenizer.encode("x")
except RuntimeError as error:
    print(error, flush=True)
"""

ENCODE_CHILD = """
import sys, time, wordloom
tokenizer = wordloom.BpeTokenizer(sys.argv[1], 500, wordloom.PreTokenization.whitespace())
tokenizer.train()
text = open(sys.argv[1], encoding="utf-8").read()
print("started", flush=True)
try:
    tokenizer.encode(text * 4)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print(tokenizer.encode("to be or not").tokens, flush=True)
"""

# Each call gets SIGINT from a timer thread a moment after it starts, while its
# native threads are busy; the calling thread must notice within a second.
BATCH_CHILD = """
import os, signal, sys, threading, time, wordloom
tokenizer = wordloom.BpeTokenizer(sys.argv[1], 500, wordloom.PreTokenization.whitespace())
tokenizer.train()
lines = open(sys.argv[1], encoding="utf-8").read().splitlines() * 4
calls = {
    "encode_batch": lambda: tokenizer.encode_batch(lines, num_threads=2),
    "encode_batch_arrays": lambda: tokenizer.encode_batch_arrays(lines),
    "encode_ids": lambda: tokenizer.encode_ids("\\n".join(lines)),
}
for name, call in calls.items():
    sent = []
    timer = threading.Timer(0.3, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    try:
        call()
        print(name, "finished", flush=True)
    except KeyboardInterrupt:
        print(name, "interrupted", time.monotonic() - sent[0], flush=True)
    timer.join()
print("threads left", len(os.listdir("/proc/self/task")))
print(tokenizer.encode_batch(["to be", "or not"]) == [tokenizer.encode_ids("to be"), tokenizer.encode_ids("or not")])
"""


@pytest.fixture(scope="module")
def large_corpus(tmp_path_factory, corpora_dir):
    """About 20 MB in which every copy of the text has its letters shifted, so
    that there are many distinct words and handling them all takes long."""
    text = (corpora_dir / "tinyshakespeare.txt").read_text(encoding="utf-8")
    letters = string.ascii_lowercase
    path = tmp_path_factory.mktemp("interrupts") / "large.txt"
    with open(path, "w", encoding="utf-8") as out:
        for shift in range(18):
            out.write(text.translate(str.maketrans(letters, letters[shift:] + letters[:shift])))
    return path


def interrupt_child(code, corpus):
    """Starts `code`, sends SIGINT a second after it reports "started" and
    returns its output lines (timing lines left out) and the signal's time."""
    child = subprocess.Popen([sys.executable, "-c", code, str(corpus)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    for line in child.stdout:
        if line == "started\n":
            break
    time.sleep(1.0)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    return [line for line in out.splitlines() if "took time" not in line], sent


def assert_interrupted_soon(line, sent):
    assert line.startswith("interrupted")
    assert float(line.split()[1]) - sent < 1.5


def test_interrupted_training_leaves_the_tokenizer_untrained(large_corpus):
    lines, sent = interrupt_child(TRAIN_CHILD, large_corpus)
    assert_interrupted_soon(lines[0], sent)
    assert lines[1:] == ["BpeTokenizer(vocab_size=0)", "Cannot encode text without training the tokenizer"]


def test_interrupted_encoding_leaves_the_tokenizer_usable(large_corpus):
    lines, sent = interrupt_child(ENCODE_CHILD, large_corpus)
    assert_interrupted_soon(lines[-2], sent)
    assert lines[-1].startswith("[") and "</w>" in lines[-1]


def test_interrupted_batch_and_ids_encoding_stop_soon_and_leave_the_tokenizer_usable(large_corpus):
    child = subprocess.run([sys.executable, "-c", BATCH_CHILD, str(large_corpus)], capture_output=True, text=True,
                           timeout=600)
    assert child.returncode == 0, child.stderr
    lines = [line.split() for line in child.stdout.splitlines() if "took time" not in line]
    for (name, outcome, *delay), expected in zip(lines, ["encode_batch", "encode_batch_arrays", "encode_ids"]):
        assert (name, outcome) == (expected, "interrupted")
        assert float(delay[0]) < 1.0
    assert lines[3:] == [["threads", "left", "1"], ["True"]]
