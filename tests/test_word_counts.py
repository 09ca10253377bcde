"""WordCounts: counts of shards, added up in order, train the model that the
whole corpus trains; pickles keep them; bad input raises, naming it."""
import errno
import json
import os
import pickle
import random
import signal
import subprocess
import sys
import time

import pytest

from conftest import run_python
from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod
from wordloom_tools import WordCounts
from wordloom_tools.model_files import MODEL_FILES

# Each pre-tokenization and each removal method once: they do not interact.
KINDS_AND_METHODS = [("whitespace", "simple"), ("punctuation", "aho_corasick")]
SANITIZED = bool(os.environ.get("WORDLOOM_EXPECT_SANITIZED"))


def settings(kind="whitespace", method="simple", tokens=()):
    """The counting settings, given as the BpeTokenizer constructor takes them."""
    return {"pretokenization_type": getattr(PreTokenization, kind)(), "special_tokens": list(tokens),
            "special_token_removal_method": getattr(SpecialTokenRemovalMethod, method)()}


WHITESPACE = settings()


def read_exactly(path):
    with open(path, encoding="utf-8", newline="") as source:
        return source.read()


def write_exactly(path, text):
    with open(path, "w", encoding="utf-8", newline="") as target:
        target.write(text)
    return path


def saved_tables(directory):
    """Every table of a saved model, in a form that compares whole."""
    return {name: json.loads((directory / name).read_text(encoding="utf-8")) for name in MODEL_FILES}


def model_of_counts(counts, target, directory):
    counts.train(target, save_model=True, output_dir=str(directory))
    return saved_tables(directory)


def shards(text, pieces, rng, cut_after):
    """`text` in `pieces` parts, each cut right after a character of `cut_after`."""
    places = [i + 1 for i, character in enumerate(text) if character in cut_after]
    cuts = sorted(rng.sample(places, min(pieces - 1, len(places))))
    return [text[begin:end] for begin, end in zip([0, *cuts], [*cuts, len(text)])]


def assert_shards_learn_the_whole_model(tmp_path, corpus, options, target, rng, cut_after, pieces):
    """Shard counts, made in three ways, equal the whole file's and train its model."""
    BpeTokenizer(str(corpus), target, **options, save_model=True, output_dir=str(tmp_path / "whole")).train()
    whole = saved_tables(tmp_path / "whole")
    whole_counts = WordCounts.from_files(corpus, **options)
    text = read_exactly(corpus)
    for count in pieces:
        parts = shards(text, count, rng, cut_after)
        paths = [write_exactly(tmp_path / f"shard-{count}-{i}.txt", part) for i, part in enumerate(parts)]
        from_files = WordCounts.from_files(paths, **options)
        added = WordCounts.from_files(paths[0], **options)
        for path in paths[1:]:
            added = added + WordCounts.from_files(path, **options)
        assert from_files == added == WordCounts.from_texts(iter(parts), **options) == whole_counts
        assert model_of_counts(added, target, tmp_path / f"counted-{count}") == whole, f"{count} shards"


@pytest.mark.parametrize("kind, method", KINDS_AND_METHODS)
def test_shards_of_the_shared_corpora_learn_the_whole_corpus_model(tmp_path, corpora_dir, kind, method):
    # Nested tokens (in, ing) make the two removal methods differ.
    options = settings(kind, method, ["ing", "in", "the", "не", "の", "。", "<|endoftext|>"])
    rng = random.Random(kind + method)
    for corpus in sorted(corpora_dir.glob("*.txt")):
        assert_shards_learn_the_whole_model(tmp_path / corpus.stem, corpus, options, 500, rng,
                                            " \n\t\u3000", pieces=(2, 9))


def generated_text(rng, words):
    pieces = ["ab", "a", "b", "ba", "αβ", "日本", "<s>", "a b", "x", ",", "!", "é"]
    spaces = [" ", " ", " ", "\n", "\t", "\u3000"]
    return "".join(rng.choice(pieces) + rng.choice(pieces) * rng.randrange(3) + rng.choice(spaces)
                   for _ in range(words))


@pytest.mark.parametrize("kind, method", KINDS_AND_METHODS)
def test_shards_cut_where_no_special_token_reaches_learn_the_whole_model(tmp_path, kind, method):
    # A token holds a space: shards are cut after other white space only.
    options = settings(kind, method, ["<s>", "a b", "ab", "b"])
    rng = random.Random(kind + method)
    for trial in range(3):
        corpus = write_exactly(tmp_path / f"generated-{trial}.txt", generated_text(rng, 3000))
        assert_shards_learn_the_whole_model(tmp_path / str(trial), corpus, options, 120, rng, "\n\t\u3000",
                                            pieces=(2, 5, 40))


class TestValue:
    def test_adding_counts_continues_the_text(self):
        first = WordCounts.from_texts(["b a b"], **WHITESPACE)
        second = WordCounts.from_texts(["c a"], **WHITESPACE)
        assert (first + second).most_common() == [("b", 2), ("a", 2), ("c", 1)]
        assert (second + first).most_common() == [("a", 2), ("b", 2), ("c", 1)]
        assert first + second == WordCounts.from_texts(["b a b", "c a"], **WHITESPACE)
        assert len(first + second) == 3 and len(first) == 2
        assert first != second
        with pytest.raises(TypeError):
            first + 1

    def test_the_end_of_a_text_or_file_ends_a_word(self, tmp_path):
        assert WordCounts.from_texts(["ab", "cd"], **WHITESPACE).most_common() == [("ab", 1), ("cd", 1)]
        paths = [write_exactly(tmp_path / "1.txt", "x ab"), write_exactly(tmp_path / "2.txt", "cd")]
        assert WordCounts.from_files(paths, **WHITESPACE).most_common() == [("x", 1), ("ab", 1), ("cd", 1)]

    def test_most_common_takes_ties_in_order_of_first_appearance(self):
        counts = WordCounts.from_texts(["d c c b b a a a"], **WHITESPACE)
        assert counts.most_common(3) == [("a", 3), ("c", 2), ("b", 2)]
        assert counts.most_common(0) == []
        assert counts.most_common(99) == counts.most_common()

    def test_pickles_keep_words_counts_order_and_settings(self, tmp_path):
        options = settings("punctuation", "aho_corasick", ["<s>", "日本"])
        counts = WordCounts.from_texts(["héllo, <s>wörld 日本語 " * 50, "𝄞 héllo"], **options)
        copy = pickle.loads(pickle.dumps(counts))
        assert copy == counts and copy.most_common() == counts.most_common()
        assert len(pickle.dumps(counts)) < 300  # lengths and counts as varints, each word once
        assert model_of_counts(copy, 40, tmp_path / "copy") == model_of_counts(counts, 40, tmp_path / "counts")

    def test_a_damaged_pickle_is_refused(self):
        state = WordCounts.from_texts(["a b c"], **WHITESPACE).__reduce__()[1][0]
        with pytest.raises(ValueError, match="truncated or corrupt"):
            WordCounts._from_state(state[:-1])
        with pytest.raises(ValueError, match="not a wordloom word counts state"):
            WordCounts._from_state(b"junk")

    def test_training_gives_a_tokenizer_like_any_other(self):
        counts = WordCounts.from_texts(["low lower lowest new newer newest"] * 3, **settings(tokens=["<s>"]))
        tokenizer = counts.train(30)
        assert isinstance(tokenizer, BpeTokenizer) and repr(tokenizer) == "BpeTokenizer(vocab_size=30)"
        assert tokenizer.get_token_by_id(0) == "<s>"
        assert tokenizer.decode(tokenizer.encode("lowest <s> newer").ids) == "lowest <s> newer "
        assert counts.train(30).encode("newest").ids == tokenizer.encode("newest").ids  # counts stay usable


class TestBadInput:
    def test_a_file_that_cannot_be_read_or_is_not_utf8_is_named(self, tmp_path):
        good, missing, bad = write_exactly(tmp_path / "good.txt", "a b"), tmp_path / "missing.txt", tmp_path / "bad.txt"
        with pytest.raises(FileNotFoundError) as raised:
            WordCounts.from_files([good, missing], **WHITESPACE)
        assert raised.value.filename == missing and raised.value.errno == errno.ENOENT
        with pytest.raises(IsADirectoryError, match=str(tmp_path)):
            WordCounts.from_files([str(tmp_path)], **WHITESPACE)
        bad.write_bytes("añb c".encode() + b"\xff")
        with pytest.raises(ValueError, match=r"bad\.txt' is not valid UTF-8: .* byte offset 6"):
            WordCounts.from_files([good, bad], **WHITESPACE)

    def test_a_text_that_is_no_str_raises_typeerror_naming_its_index(self):
        with pytest.raises(TypeError, match="item 2 of texts is bytes, not str"):
            WordCounts.from_texts(["a", "b", b"c"], **WHITESPACE)
        with pytest.raises(ValueError, match="item 1 of texts") as raised:
            WordCounts.from_texts(["a", "\ud800"], **WHITESPACE)
        assert isinstance(raised.value.__cause__, UnicodeEncodeError)
        with pytest.raises(TypeError, match="argument 'texts': 'int' object is not iterable"):
            WordCounts.from_texts(3, **WHITESPACE)

    def test_counts_of_different_settings_do_not_add(self):
        base = WordCounts.from_texts(["a"], **WHITESPACE)
        for other in (settings("punctuation"), settings(method="aho_corasick"), settings(tokens=["a"])):
            with pytest.raises(ValueError, match="cannot add word counts made with different settings"):
                base + WordCounts.from_texts(["a"], **other)

    def test_settings_must_be_wordloom_values(self):
        with pytest.raises(TypeError, match="argument 'pretokenization_type'.*'PreTokenization'"):
            WordCounts.from_texts(["a"], "whitespace")
        with pytest.raises(TypeError, match="argument 'special_token_removal_method'"):
            WordCounts.from_texts(["a"], PreTokenization.whitespace(), [], PreTokenization.whitespace())
        with pytest.raises(TypeError, match="from_files"):
            WordCounts()

    def test_saving_raises_instead_of_ending_the_process(self, tmp_path):
        counts = WordCounts.from_texts(["a b"], **WHITESPACE)
        with pytest.raises(ValueError, match="no output_dir"):
            counts.train(10, save_model=True)
        blocker = write_exactly(tmp_path / "file", "")
        with pytest.raises(OSError, match="cannot save the model to .*file/model"):
            counts.train(10, save_model=True, output_dir=blocker / "model")


class TestProgress:
    def test_reports_bytes_read_then_tokens_learned(self, tmp_path):
        paths = [write_exactly(tmp_path / f"{i}.txt", "ab cd ef\n" * (i + 1) * 100) for i in range(3)]
        total = sum(path.stat().st_size for path in paths)
        reports = []
        counts = WordCounts.from_files(paths, **WHITESPACE, progress=lambda *report: reports.append(report))
        assert reports[-1] == ("read", total, total)
        assert all(phase == "read" for phase, _, _ in reports)
        assert [done for _, done, _ in reports] == sorted({done for _, done, _ in reports})

        reports.clear()
        counts.train(12, progress=lambda *report: reports.append(report))
        wanted = 12 - 7  # six letters and the end-of-word marker come first
        assert reports[0] == ("merge", 0, wanted) and reports[-1] == ("merge", wanted, wanted)

    def test_an_exception_in_the_callable_stops_the_work(self, tmp_path):
        def refuse(*report):
            raise RuntimeError("stop here")
        path = write_exactly(tmp_path / "c.txt", "ab cd")
        with pytest.raises(RuntimeError, match="stop here"):
            WordCounts.from_files(path, **WHITESPACE, progress=refuse)
        with pytest.raises(RuntimeError, match="stop here"):
            WordCounts.from_files(path, **WHITESPACE).train(20, progress=refuse)


INTERRUPTED_CHILD = """
import sys, time, wordloom
from wordloom_tools import WordCounts
whitespace = wordloom.PreTokenization.whitespace()
def started(*report):
    if not hasattr(started, "told"):
        started.told = print("started", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


@pytest.fixture(scope="module")
def varied_corpus(tmp_path_factory, corpora_dir):
    """Copies of a corpus with shifted letters: many words, long to merge."""
    text = read_exactly(corpora_dir / "tinyshakespeare.txt")
    letters = "abcdefghijklmnopqrstuvwxyz"
    path = tmp_path_factory.mktemp("varied") / "varied.txt"
    return write_exactly(path, "".join(text.translate(str.maketrans(letters, letters[s:] + letters[:s]))
                                       for s in range(8)))


@pytest.mark.parametrize("call", [
    "WordCounts.from_files([sys.argv[1]] * 1000, whitespace, progress=started)",
    "WordCounts.from_files(sys.argv[1], whitespace).train(10**9, progress=started)",
])
def test_ctrl_c_stops_counting_and_training_within_a_second(varied_corpus, call):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD.format(call=call), str(varied_corpus)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "started\n"
    time.sleep(0.5)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    # The sanitizers slow the work between two interrupt checks several times over.
    assert out.startswith("interrupted") and float(out.split()[1]) - sent < (2.0 if SANITIZED else 1.0)


PEAK_MEMORY_CHILD = """
import sys, wordloom
from wordloom_tools import WordCounts
def peak_mb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) / 1024
text = open(sys.argv[1], encoding="utf-8").read()
whitespace = wordloom.PreTokenization.whitespace()
counts = WordCounts.from_texts([text], whitespace)
peaks = []
for copies in (int(sys.argv[2]), 2 * int(sys.argv[2])):
    with open(sys.argv[3], "w", encoding="utf-8") as corpus:
        corpus.writelines([text] * copies)
    assert len(WordCounts.from_files(sys.argv[3], whitespace)) == len(counts)
    peaks.append(peak_mb())
print(peaks[1] - peaks[0])
"""


@pytest.mark.skipif(SANITIZED, reason="resident memory means little under the sanitizers")
def test_counting_memory_does_not_grow_with_the_corpus(tmp_path, corpora_dir):
    # 36 and 72 copies of a 1.1 MB corpus: both beyond one chunk (32 MiB).
    done = run_python(PEAK_MEMORY_CHILD, str(corpora_dir / "tinyshakespeare.txt"), "36", str(tmp_path / "big.txt"))
    assert done.returncode == 0, done.stderr
    assert float(done.stdout) < 8
