"""Training through the public surface: ids, merges, timing lines, fatal paths."""
import hashlib
import os
import re

import pytest

from conftest import run_python, after_training, vocabulary
from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

ELAPSED = r"\d+(\.\d*[1-9])?(s|ms|µs|ns)"


def train_on(tmp_path, text, target, **options):
    path = tmp_path / "corpus.txt"
    path.write_bytes(text.encode("utf-8"))
    kind = options.pop("kind", PreTokenization.whitespace())
    return after_training(BpeTokenizer(str(path), target, kind, **options))


@pytest.mark.parametrize("text, target, special_tokens, learned", [
    ("ab ab", 6, [], ["a", "b", "</w>", "b</w>", "ab</w>", "ab"]),
    ("ab ab", 7, [], ["a", "b", "</w>", "b</w>", "ab</w>", "ab"]),  # no pair is left to merge
    # Special tokens first, once each, then the alphabet in order of first appearance.
    ("zy[S]x yz", 0, ["[S]", "[E]", "[S]"], ["[S]", "[E]", "z", "y", "x", "</w>"]),
    ("", 10, ["<s>"], ["<s>", "</w>"]),
    # Every pair occurs twice: the larger left, then right, id goes first.
    ("ab cd ce ab cd ce", 11, [], ["a", "b", "c", "d", "e", "</w>", "e</w>", "d</w>", "cd</w>", "ce</w>", "b</w>"]),
    # A merge that spells a special token takes the special token's id.
    ("ab ab ab", 6, ["ab</w>"], ["ab</w>", "a", "b", "</w>", "b</w>", "ab"]),
    # Counts must follow every rewrite of overlapping runs and of a pair met twice in a word.
    ("aaaaa aaa", 10, [], ["a", "</w>", "aa", "aaa", "aaa</w>", "aaaaa</w>", "aaaaa", "aaaa", "a</w>"]),
    ("abab ababab ab", 12, [],
     ["a", "b", "</w>", "ab", "abab", "ab</w>", "ababab</w>", "abab</w>", "ababab", "b</w>", "ba"]),
])
def test_learned_vocabulary(tmp_path, text, target, special_tokens, learned):
    assert vocabulary(train_on(tmp_path, text, target, special_tokens=special_tokens)) == learned


class TestCorpusPreparation:
    @pytest.mark.parametrize("method", [None, SpecialTokenRemovalMethod.simple(), SpecialTokenRemovalMethod.aho_corasick()])
    def test_special_tokens_are_deleted_before_splitting(self, tmp_path, method):
        tokenizer = train_on(tmp_path, "a[S]b[E]c", 100, special_tokens=["[S]", "[E]"],
                             special_token_removal_method=method)
        assert vocabulary(tokenizer)[:6] == ["[S]", "[E]", "a", "b", "c", "</w>"]
        assert tokenizer.encode("abc").tokens == ["abc</w>"]

    def test_removal_methods_differ_on_nested_tokens(self, tmp_path):
        def learned(method):
            return vocabulary(train_on(tmp_path, "xabcdy", 100, special_tokens=["abcd", "bc"],
                                       special_token_removal_method=method))
        assert "xy</w>" in learned(SpecialTokenRemovalMethod.simple())
        assert "xady</w>" in learned(SpecialTokenRemovalMethod.aho_corasick())

    def test_punctuation_kind_learns_punctuation_as_words(self, tmp_path):
        tokenizer = train_on(tmp_path, "hi, hi, hi!", 100, kind=PreTokenization.punctuation())
        assert {",</w>", "!</w>", "hi</w>"} <= set(vocabulary(tokenizer))
        assert "hi,</w>" not in vocabulary(tokenizer)


class TestOutput:
    def test_timing_lines(self, tmp_path, capfd):
        train_on(tmp_path, "a b a b", 3)
        assert re.fullmatch(f"vocab builder took time: {ELAPSED}\nbuild initial pair took time: {ELAPSED}\n",
                            capfd.readouterr().out)
        train_on(tmp_path, "a<s>b", 3, special_tokens=["<s>"])
        assert re.match(f"removing special tokens took time: {ELAPSED}\nvocab builder", capfd.readouterr().out)

    def test_running_out_of_pairs_is_reported(self, tmp_path, capfd):
        train_on(tmp_path, "ab ab", 6)
        assert "no more pairs" not in capfd.readouterr().out
        train_on(tmp_path, "ab ab", 7)
        assert capfd.readouterr().out.endswith("targeted vocab size not reached as no more pairs to merge ")

    def test_second_training_is_refused(self, tmp_path, capfd):
        tokenizer = train_on(tmp_path, "a b", 10)
        capfd.readouterr()
        with pytest.raises(RuntimeError) as raised:
            tokenizer.train()
        assert type(raised.value) is RuntimeError and str(raised.value) == "Cannot train a pretrained model"
        assert capfd.readouterr().out == ""


TRAIN_IN_CHILD = ("import sys, wordloom\n"
                  "t = wordloom.BpeTokenizer(sys.argv[1], 50, wordloom.PreTokenization.whitespace(),"
                  " save_model=eval(sys.argv[2]))\n"
                  "t.train()\nprint('survived')\n")


def unreadable_corpus(tmp_path, kind):
    path = tmp_path / "corpus"
    if kind == "not UTF-8":
        path.write_bytes(b"caf\xe9 ok")
    elif kind == "fifo":  # without a writer, reading would block forever
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()
    elif kind == "device":  # /dev/zero never ends
        path = "/dev/zero"
    return str(path)


class TestFatalPaths:
    @pytest.mark.parametrize("kind, message", [
        ("missing", "No such file or directory (os error 2)"),
        ("not UTF-8", "stream did not contain valid UTF-8"),
        ("fifo", "Invalid argument (os error 22)"),
        ("device", "Invalid argument (os error 22)"),
        ("directory", "Is a directory (os error 21)"),
    ])
    def test_an_unreadable_corpus(self, tmp_path, kind, message):
        result = run_python(TRAIN_IN_CHILD, unreadable_corpus(tmp_path, kind), "False")
        assert (result.returncode, result.stderr, result.stdout) == (1, f"Error reading file: {message}\n", "")

    def test_save_without_output_directory_after_training(self, tmp_path):
        (tmp_path / "c.txt").write_text("a b a b")
        result = run_python(TRAIN_IN_CHILD, str(tmp_path / "c.txt"), "True")
        assert (result.returncode, result.stderr) == (1, "Error: Output directory not provided but save_model is true\n")
        assert "build initial pair took time: " in result.stdout


class TestDeterminism:
    SCRIPT = ("import sys, wordloom\n"
              "t = wordloom.BpeTokenizer(sys.argv[1], 300, wordloom.PreTokenization.punctuation(), ['the'])\n"
              "t.train()\nn = int(repr(t)[24:-1])\n"
              "print('RESULT', '|'.join(t.get_token_by_id(i) for i in range(n)))\n"
              "print('RESULT', t.encode(open(sys.argv[1]).read()[:5000]).ids)\n")

    def test_same_results_in_separate_processes(self, tmp_path, corpora_dir):
        corpus = str(corpora_dir / "tinyshakespeare.txt")
        def results():
            return [line for line in run_python(self.SCRIPT, corpus).stdout.splitlines() if line.startswith("RESULT")]
        runs = [results() for _ in range(3)]
        assert runs[0] == runs[1] == runs[2] and len(runs[0]) == 2

    # What training made of real corpora before its data structures last
    # changed: the models must stay byte for byte the same.
    @pytest.mark.parametrize("corpus, kind, digest", [
        ("tinyshakespeare.txt", PreTokenization.whitespace(),
         "491b699f97976780841431cb5a433573a56fe0e973f5ca4d4b726abdcdb06bda"),
        ("gogol_dead_souls_ru.txt", PreTokenization.punctuation(),
         "be6d9942e315d1f209587e4a6093504a9f09fce647cbe0137126d96ca5451547"),
    ])
    def test_real_corpora_train_to_the_same_models_as_before(self, tmp_path, corpora_dir, corpus, kind, digest):
        BpeTokenizer(str(corpora_dir / corpus), 3000, kind, save_model=True, output_dir=str(tmp_path)).train()
        files = b"".join((tmp_path / name).read_bytes() for name in ("token_table.json", "merge_rules.json"))
        assert hashlib.sha256(files).hexdigest() == digest

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
    def test_training_works_in_a_forked_child_after_the_parent_trained(self, tmp_path):
        corpus = tmp_path / "c.txt"
        corpus.write_text("some words and some more words " * 2000)
        code = (
            "import os, sys, warnings, wordloom\n"
            "warnings.simplefilter('ignore')\n"
            "def train():\n"
            "    t = wordloom.BpeTokenizer(sys.argv[1], 60, wordloom.PreTokenization.whitespace())\n"
            "    t.train(); return repr(t)\n"
            "parent = train()\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    os._exit(0 if train() == parent else 3)\n"
            "print('child', os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))\n"
        )
        result = run_python(code, str(corpus))
        assert result.stdout.rstrip().endswith("child 0"), result.stderr
