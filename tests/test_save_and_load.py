"""save_pretrained writes any trained tokenizer as training would, and load
reads a model directory raising OSError or ValueError where from_pretrained
ends the process."""
import errno
import json
import os
import pathlib

import pytest

from conftest import run_python, train_or_skip, vocabulary
from wordloom import BpeTokenizer, PreTokenization

MODEL_FILES = ("config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json")


def read_model(directory):
    return {name: json.loads((pathlib.Path(directory) / name).read_text(encoding="utf-8")) for name in MODEL_FILES}


@pytest.fixture
def saved(corpus, tmp_path):
    """A model directory written by training with save_model=True."""
    directory = tmp_path / "by_training"
    train_or_skip(BpeTokenizer(corpus, 30, PreTokenization.whitespace(), ["<s>"], None, True, str(directory)))
    return directory


class TestVocabSize:
    def test_zero_untrained_then_the_learned_size(self, corpus, saved):
        tokenizer = BpeTokenizer(corpus, 30, PreTokenization.whitespace())
        assert tokenizer.get_vocab_size() == 0
        train_or_skip(tokenizer)
        assert tokenizer.get_vocab_size() == len(vocabulary(tokenizer)) == 30
        assert BpeTokenizer.load(str(saved)).get_vocab_size() == 30


class TestSavePretrained:
    def test_writes_what_training_writes(self, corpus, saved, tmp_path):
        tokenizer = train_or_skip(BpeTokenizer(corpus, 30, PreTokenization.whitespace(), ["<s>"]))
        directory = tmp_path / "nested" / "later"
        assert tokenizer.save_pretrained(directory) is None  # os.PathLike accepted; parents made
        assert sorted(os.listdir(directory)) == sorted(MODEL_FILES)
        assert read_model(directory) == read_model(saved)
        for name in ("config.json", "merge_rules.json"):  # no maps: byte for byte
            assert (directory / name).read_bytes() == (saved / name).read_bytes()
        loaded = BpeTokenizer.load(str(directory))
        assert vocabulary(loaded) == vocabulary(tokenizer)
        assert loaded.encode("lower <s> newest").ids == tokenizer.encode("lower <s> newest").ids

    def test_a_loaded_tokenizer_saves_itself_again(self, saved, tmp_path):
        BpeTokenizer.load(str(saved)).save_pretrained(str(tmp_path / "again"))
        assert read_model(tmp_path / "again") == read_model(saved)

    def test_an_untrained_tokenizer_is_refused(self, untrained, tmp_path):
        with pytest.raises(RuntimeError, match="^Cannot save a tokenizer that is not trained$"):
            untrained.save_pretrained(str(tmp_path / "out"))
        assert not (tmp_path / "out").exists()
        with pytest.raises(TypeError, match="^argument 'output_dir': expected str, bytes or os.PathLike object"):
            untrained.save_pretrained(5)

    def test_failures_raise_os_error_naming_the_path(self, trained, tmp_path):
        plain_file = tmp_path / "file"
        plain_file.write_text("x")
        blocked = tmp_path / "blocked"
        (blocked / "token_table.json").mkdir(parents=True)
        full = tmp_path / "full"
        full.mkdir()
        (full / "config.json").symlink_to("/dev/full")
        cases = [
            (plain_file / "sub", errno.ENOTDIR, plain_file / "sub"),
            (blocked, errno.EISDIR, blocked / "token_table.json"),
            (full, errno.ENOSPC, full / "config.json"),
        ]
        for directory, number, path in cases:
            with pytest.raises(OSError) as raised:
                trained.save_pretrained(str(directory))
            assert (raised.value.errno, raised.value.filename) == (number, str(path))
            assert raised.value.strerror == os.strerror(number)


class TestLoad:
    def test_missing_or_unreadable_paths_raise_os_error(self, saved, tmp_path):
        plain_file = saved / "config.json"
        no_merges = tmp_path / "no_merges"
        no_merges.mkdir()
        for name in MODEL_FILES:
            if name != "merge_rules.json":
                (no_merges / name).write_bytes((saved / name).read_bytes())
        directory_table = tmp_path / "directory_table"
        directory_table.mkdir()
        for name in MODEL_FILES:
            (directory_table / name).write_bytes((saved / name).read_bytes())
        (directory_table / "token_table.json").unlink()
        (directory_table / "token_table.json").mkdir()
        cases = [
            (tmp_path / "absent", FileNotFoundError, tmp_path / "absent"),
            (plain_file, NotADirectoryError, plain_file),
            (no_merges, FileNotFoundError, no_merges / "merge_rules.json"),
            (directory_table, IsADirectoryError, directory_table / "token_table.json"),
        ]
        for directory, error_type, path in cases:
            with pytest.raises(error_type) as raised:
                BpeTokenizer.load(str(directory))
            assert raised.value.filename == str(path)

    def test_malformed_json_raises_value_error_with_the_text_from_pretrained_prints(self, saved):
        (saved / "save_ranks.json").write_text('{"1_2": 3,', encoding="utf-8")
        with pytest.raises(ValueError) as raised:
            BpeTokenizer.load(saved)
        prefix = f"{saved / 'save_ranks.json'}: "
        message = str(raised.value)
        assert message.startswith(prefix + "Json serialization error ")
        child = run_python("import sys, wordloom; wordloom.BpeTokenizer.from_pretrained(sys.argv[1])", str(saved))
        assert (child.returncode, child.stderr) == (1, "Error: " + message[len(prefix):] + "\n")

    def test_a_malformed_pair_key_stays_an_internal_failure(self, saved):
        (saved / "pairs_to_merge.json").write_text('{"oops": 3}', encoding="utf-8")
        child = run_python(
            "import sys, wordloom\n"
            "try:\n    wordloom.BpeTokenizer.load(sys.argv[1])\n"
            "except BaseException as error:\n    print(type(error).__name__)", str(saved))
        assert (child.returncode, child.stdout) == (0, "PanicException\n")

    def test_arguments(self, saved):
        assert BpeTokenizer.load(files_path=os.fsencode(saved)).get_vocab_size() == 30
        with pytest.raises(TypeError, match="^BpeTokenizer.load\\(\\) missing 1 required positional argument"):
            BpeTokenizer.load()
        with pytest.raises(ValueError, match="embedded null"):
            BpeTokenizer.load("a\0b")
