"""The `wordloom` command, run as a separate process the way a user runs it:
every command's output, a train -> encode -> decode round trip, and the
messages and exit statuses of a user's mistakes."""
import ast
import json
import os
import string
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
SAMPLE_WORDS = "low lower lowest new newer newest wide wider widest"
# Every printable ASCII character occurs, so any ASCII text can be encoded.
CORPUS = (SAMPLE_WORDS + "\n") * 20 + " ".join(string.ascii_letters + string.digits + string.punctuation) + "\n"
MODEL_FILES = ["config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json"]


def wordloom(*args, stdin=None):
    """Runs `python -m wordloom_tools ARGS`, finding the package in the source
    tree whether or not it is installed (the extension comes from wherever
    the suite imports it)."""
    path = os.pathsep.join(filter(None, [str(REPO / "python"), os.environ.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", "wordloom_tools", *map(str, args)], input=stdin,
                          capture_output=True, timeout=300, env={**os.environ, "PYTHONPATH": path},
                          text=not isinstance(stdin, bytes))


def succeeded(result):
    assert result.returncode == 0, result.stderr
    return result.stdout if isinstance(result.stdout, str) else result.stdout.decode("utf-8")


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    path = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    path.write_text(CORPUS, encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def model(corpus, tmp_path_factory):
    directory = tmp_path_factory.mktemp("model")
    succeeded(wordloom("train", corpus, "--vocab-size", 120, "--out", directory, "--special-token", "<s>"))
    return directory


def encode_json(model, *args, stdin=None):
    return [json.loads(line) for line in succeeded(wordloom("encode", "--model", model, "--json", *args,
                                                            stdin=stdin)).splitlines()]


class TestTrain:
    @pytest.mark.parametrize("options, settings", [
        ([], {"pre_tokenizer": "Whitespace", "special_tokens": [], "special_token_removal_method": "Simple"}),
        (["--punctuation", "--special-token", "<s>", "--special-token", "<pad>", "--aho-corasick"],
         {"pre_tokenizer": "Punctuation", "special_tokens": ["<s>", "<pad>"],
          "special_token_removal_method": "AhoCorasick"}),
    ])
    def test_saves_a_model_with_the_chosen_settings(self, corpus, tmp_path, options, settings):
        out = tmp_path / "nested" / "model"
        stdout = succeeded(wordloom("train", corpus, "--vocab-size", 100, "--out", out, *options))
        assert sorted(path.name for path in out.iterdir()) == sorted(MODEL_FILES)
        config = json.loads((out / "config.json").read_text(encoding="utf-8"))
        assert config == {"target_vocab_size": 100, **settings}
        assert "vocabulary size  100 (target 100)" in stdout.splitlines()

    def test_reports_a_target_the_corpus_cannot_reach_without_progress_lines(self, corpus, tmp_path):
        stdout = succeeded(wordloom("train", corpus, "--vocab-size", 100_000, "--out", tmp_path))
        learned = len(json.loads((tmp_path / "token_table.json").read_text(encoding="utf-8"))["id_to_token"])
        assert f"vocabulary size  {learned} (target 100000)" in stdout.splitlines()
        assert stdout.startswith("trained on ")
        assert "took time" not in stdout and "no more pairs" not in stdout


class TestEncodeDecode:
    def test_a_text_round_trips_through_encode_and_decode(self, model):
        [encoded] = encode_json(model, "lowest  newer\twide <s>widest")
        assert encoded["text"] == "lowest  newer\twide <s>widest"
        assert encoded["tokens"][3] == "<s>" and encoded["types"][3] == "specialtoken"
        assert set(encoded["types"]) <= {"word", "subword", "specialtoken"}
        decoded = succeeded(wordloom("decode", "--model", model, *encoded["ids"]))
        assert decoded == "lowest newer wide <s> widest \n"

    def test_plain_output_is_a_line_of_tokens_then_a_line_of_ids(self, model):
        stdout = succeeded(wordloom("encode", "--model", model, "newest wider"))
        [encoded] = encode_json(model, "newest wider")
        assert stdout.splitlines() == [" ".join(encoded["tokens"]), " ".join(map(str, encoded["ids"]))]

    def test_each_line_of_standard_input_is_one_text(self, model):
        lines = encode_json(model, stdin="low\r\nnew wide\n\nwidest\n")
        assert [line["text"] for line in lines] == ["low", "new wide", "", "widest"]
        assert lines[0] == encode_json(model, "low")[0]


def test_info_shows_size_merges_and_settings(model):
    merges = json.loads((model / "merge_rules.json").read_text(encoding="utf-8"))
    lines = succeeded(wordloom("info", "--model", model)).splitlines()
    assert lines == [f"model            {model}", "vocabulary size  120 (target 120)", f"merges           {len(merges)}",
                     "pre-tokenizer    Whitespace", 'special tokens   "<s>"', "removal method   Simple"]


def test_demo_trains_saves_and_shows_a_sample(corpus, tmp_path):
    stdout = succeeded(wordloom("demo", "--corpus", corpus, "--vocab-size", 150, "--out", tmp_path))
    fields = dict(line.split(maxsplit=1) for line in stdout.splitlines() if line and not line.startswith(" "))
    assert fields["trained"].startswith("150 tokens")
    assert fields["saved"] == f"to  {tmp_path}"
    assert sorted(path.name for path in tmp_path.iterdir()) == sorted(MODEL_FILES)
    sample, decoded = ast.literal_eval(fields["sample"]), ast.literal_eval(fields["decoded"])
    assert decoded == " ".join(sample.split()) + " "
    assert len(fields["tokens"].split()) == len(fields["ids"].split())


def test_demo_trains_on_the_standard_library_by_default(tmp_path):
    stdout = succeeded(wordloom("demo", "--vocab-size", 500, "--out", tmp_path))
    assert "MB)" in stdout.splitlines()[0] and "stdlib" in stdout.splitlines()[0]
    assert "decoded   " in stdout


def test_the_console_script_is_installed_with_the_package():
    script = Path(sys.executable).with_name("wordloom")
    if not script.exists():
        pytest.skip("the package is not installed in this interpreter's environment")
    result = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "usage: wordloom" in result.stdout


class TestUserMistakes:
    """Each mistake gives a one-line message (after the usage lines for wrong
    usage, status 2; alone otherwise, status 1) and never a traceback."""

    def check(self, result, status, message):
        stderr = result.stderr if isinstance(result.stderr, str) else result.stderr.decode("utf-8")
        assert result.returncode == status
        assert message in stderr.splitlines()[-1]
        assert status == 2 or len(stderr.splitlines()) == 1
        assert "Traceback" not in stderr and "internal failure" not in stderr

    @pytest.mark.parametrize("args, message", [
        (["train", "absent.txt", "--vocab-size", "10", "--out", "m"], "argument CORPUS: no such file: absent.txt"),
        (["train", "{corpus}", "--vocab-size", "ten", "--out", "m"],
         "argument --vocab-size: expected a positive whole number, got 'ten'"),
        (["train", "{corpus}", "--vocab-size", "0", "--out", "m"], "expected a positive whole number, got '0'"),
        (["train", "{corpus}", "--vocab-size", "10", "--out", "{corpus}"], "exists and is not a directory"),
        (["encode", "--model", "absent", "text"], "argument --model: no such directory: absent"),
        (["decode", "--model", "{model}", "-1"], "expected a token id (a whole number from 0 to 4294967295), got '-1'"),
        ([], "the following arguments are required: COMMAND"),
    ])
    def test_wrong_usage_exits_with_status_2(self, corpus, model, args, message):
        message = message.format(corpus=corpus, model=model)
        self.check(wordloom(*(arg.format(corpus=corpus, model=model) for arg in args)), 2, message)

    @pytest.mark.parametrize("command", [["info"], ["encode", "text"], ["decode", "1"]])
    def test_a_directory_without_every_model_file_is_refused_before_loading(self, model, tmp_path, command):
        (tmp_path / "config.json").write_bytes((model / "config.json").read_bytes())
        (tmp_path / "merge_rules.json").write_bytes((model / "merge_rules.json").read_bytes())
        result = wordloom(command[0], "--model", tmp_path, *command[1:])
        self.check(result, 2, f"{tmp_path} is not a wordloom model "
                              "(missing token_table.json, save_ranks.json, pairs_to_merge.json)")

    def test_info_on_unreadable_model_files(self, model, tmp_path):
        for name in MODEL_FILES:
            (tmp_path / name).write_bytes((model / name).read_bytes())
        (tmp_path / "config.json").write_text("{not json", encoding="utf-8")
        self.check(wordloom("info", "--model", tmp_path), 1, f"cannot read {tmp_path / 'config.json'}: ")

    def test_a_character_the_model_never_saw(self, model):
        result = wordloom("encode", "--model", model, "low €5")
        self.check(result, 1, "the model never saw it in training")
        assert result.stderr.startswith("wordloom encode: error: ") and "'€'" in result.stderr

    def test_an_unseen_character_on_standard_input_names_its_line(self, model):
        self.check(wordloom("encode", "--model", model, stdin="low\nnew ü\n"), 1, "error: line 2: ")

    def test_standard_input_that_is_not_utf8(self, model):
        self.check(wordloom("encode", "--model", model, stdin=b"low \xff\n"), 1,
                   "wordloom encode: error: line 1: the text is not valid UTF-8")
