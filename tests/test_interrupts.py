"""Ctrl-C during long calls: KeyboardInterrupt arrives soon and the tokenizer
is left as it was before the call.

Each call below would run for many seconds. The signal always lands inside
it: the child sends itself SIGINT a moment after the call starts (from a
SIGALRM handler, as no Python thread can run while the call holds the
interpreter lock), or the test sends SIGINT once the child's training prints
its last timing line, right before the merge loop. How soon the interrupt
took effect is only a sanity check."""
import random
import signal
import subprocess
import sys
import time

import pytest

SANITY_SECONDS = 5.0

# Prints "interrupted <monotonic time>" (or "finished"), then the lines of
# `after`, an expression giving a list.
CHILD = """
import os, signal, sys, time, wordloom
{setup}
{arm}
try:
    {call}
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
for line in {after}:
    print(line, flush=True)
"""

SIGINT_SOON = """
signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGINT))
signal.setitimer(signal.ITIMER_REAL, 0.2)
print("signal due", time.monotonic() + 0.2, flush=True)
"""

TRAIN_SETUP = """
tokenizer = wordloom.BpeTokenizer(sys.argv[1], 10**9, wordloom.PreTokenization.whitespace(), {special_tokens})
def state():
    try:
        tokenizer.encode("a")
    except RuntimeError as error:
        return [repr(tokenizer), str(error)]
"""
UNTRAINED = ["BpeTokenizer(vocab_size=0)", "Cannot encode text without training the tokenizer"]

ENCODE_SETUP = """
tokenizer = wordloom.BpeTokenizer(sys.argv[1], 300, wordloom.PreTokenization.whitespace(), {special_tokens})
tokenizer.train()
before = tokenizer.encode("a aaaa << aaa").ids
def state():
    return [tokenizer.encode("a aaaa << aaa").ids == before]
text = {text}
"""

MANY_SPECIAL_TOKENS = [f"<t{i}>" for i in range(10_000)]


def child_code(setup, call, self_interrupting=True):
    return CHILD.format(setup=setup, arm=SIGINT_SOON if self_interrupting else "", call=call, after="state()")


def run_child(code, corpus, interrupt_on_line=None):
    """Runs `code`; when `interrupt_on_line` is given, sends SIGINT once the
    child prints a line starting with it. Returns the child's remaining output
    lines (timing lines left out) after checking the "interrupted" line
    against the time the signal was due."""
    child = subprocess.Popen([sys.executable, "-c", code, str(corpus)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    due = None
    for line in child.stdout:
        if line.startswith("signal due"):
            due = float(line.split()[2])
            break
        if interrupt_on_line is not None and line.startswith(interrupt_on_line):
            due = time.monotonic()
            child.send_signal(signal.SIGINT)
            break
    out, err = child.communicate(timeout=600)
    assert child.returncode == 0, err
    lines = [line for line in out.splitlines() if "took time" not in line]
    word, moment = lines[0].split()
    assert word == "interrupted"
    assert float(moment) - due < SANITY_SECONDS
    return lines[1:]


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def many_words(tmp_path_factory):
    """About 10 MB of random words, nearly all distinct: counting them, and
    merging them into an unbounded vocabulary, take long."""
    letters_and_spaces = bytes(ord("a") + b % 26 if b < 234 else ord(" ") for b in range(256))
    text = random.Random(5).randbytes(10_000_000).translate(letters_and_spaces)
    path = tmp_path_factory.mktemp("interrupts") / "words.txt"
    path.write_bytes(text)
    return path


class TestTraining:
    def test_interrupted_training_leaves_the_tokenizer_untrained(self, many_words):
        code = child_code(TRAIN_SETUP.format(special_tokens=[]), "tokenizer.train()")
        assert run_child(code, many_words) == UNTRAINED

    def test_interrupt_inside_a_merge_of_millions_of_places(self, tmp_path, many_words):
        # Runs of one character make each of the first merges rewrite
        # millions of places; the random words keep the loop going for long.
        runs = " ".join("a" * length for length in range(1, 4000))
        corpus = write(tmp_path / "runs.txt", runs + " " + many_words.read_text(encoding="utf-8"))
        code = child_code(TRAIN_SETUP.format(special_tokens=[]), "tokenizer.train()", self_interrupting=False)
        assert run_child(code, corpus, interrupt_on_line="build initial pair took time") == UNTRAINED

    def test_interrupted_removal_of_many_special_tokens(self, tmp_path):
        # Each of the 10,000 tokens is looked for at every one of 256 Ki "<".
        corpus = write(tmp_path / "angles.txt", "<" * (256 << 10))
        code = child_code(TRAIN_SETUP.format(special_tokens=MANY_SPECIAL_TOKENS), "tokenizer.train()")
        assert run_child(code, corpus) == UNTRAINED


class TestEncoding:
    @pytest.fixture
    def corpus(self, tmp_path):
        return write(tmp_path / "corpus.txt", " ".join("a" * length for length in range(1, 300)) + " <<")

    def test_interrupted_encoding_of_one_long_word(self, corpus):
        code = child_code(ENCODE_SETUP.format(special_tokens=[], text="'a' * (8 << 20)"), "tokenizer.encode(text)")
        assert run_child(code, corpus) == ["True"]

    def test_interrupted_split_at_many_special_tokens(self, corpus):
        # Each of the 10,000 tokens is tried at every one of 256 Ki "<".
        setup = ENCODE_SETUP.format(special_tokens=MANY_SPECIAL_TOKENS, text="'<' * (256 << 10)")
        assert run_child(child_code(setup, "tokenizer.encode(text)"), corpus) == ["True"]

    @pytest.mark.parametrize("call", ["tokenizer.encode_batch(texts, num_threads=2)",
                                      "tokenizer.encode_batch_arrays(texts)", "tokenizer.encode_ids(texts[0])"])
    def test_interrupted_batch_and_ids_encoding(self, corpus, call):
        # The native threads run without the interpreter lock; the calling
        # thread must still notice the signal and stop them.
        setup = ENCODE_SETUP.format(special_tokens=[], text="['a' * (8 << 20)] * 8").replace("text =", "texts =")
        assert run_child(child_code(setup, call), corpus) == ["True"]
