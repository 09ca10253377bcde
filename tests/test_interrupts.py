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
