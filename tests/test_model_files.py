"""The model directory seen from Python: from_pretrained, whose failures end
the process (checked in a child interpreter), and save_pretrained and load,
which raise OSError or ValueError instead."""
import errno
import json
import os
import shutil

import pytest

from conftest import CORPUS, MODEL_FILES, run_python, after_training, vocabulary, write_model_files
from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

LOAD_IN_CHILD = """
import atexit, sys, wordloom
atexit.register(print, "exit handlers ran")
wordloom.BpeTokenizer.from_pretrained(sys.argv[1])
print("loaded")
"""


def write_model(directory, **replaced):
    """A model of one special token and one merge; `replaced` maps file stems to raw texts."""
    write_model_files(directory, ["<s>", "a", "</w>", "a</w>"], [(1, 2, 3)], special_tokens=["<s>"])
    for stem, text in replaced.items():
        (directory / f"{stem}.json").write_text(text, encoding="utf-8")
    return str(directory)


def read_model(directory):
    return {name: json.loads((directory / name).read_text(encoding="utf-8")) for name in MODEL_FILES}


def train_awkward(corpus, output_dir=None):
    """Trains on `corpus` with special tokens that JSON must escape."""
    return after_training(BpeTokenizer(corpus, 60, PreTokenization.punctuation(), ['<|end|>', 'q"\\\x01'],
                                      SpecialTokenRemovalMethod.aho_corasick(), output_dir is not None, output_dir))


@pytest.fixture
def awkward_corpus(tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_text(CORPUS + 'say "hi" \\ to\tthe caf\u00e9 <|end|> \u2603\n', encoding="utf-8")
    return str(path)


@pytest.fixture
def saved(awkward_corpus, tmp_path):
    """A model directory written by training with save_model=True."""
    directory = tmp_path / "nested" / "by_training"
    train_awkward(awkward_corpus, str(directory))
    return directory


class TestFromPretrained:
    def test_a_hand_written_model_loads_as_trained(self, tmp_path):
        tokenizer = BpeTokenizer.from_pretrained(files_path=write_model(tmp_path))
        assert repr(tokenizer) == "BpeTokenizer(vocab_size=4)"
        assert vocabulary(tokenizer) == ["<s>", "a", "</w>", "a</w>"]
        assert tokenizer.get_id_by_token("a</w>") == 3

    def test_other_member_orders_extra_members_and_no_merges_load(self, tmp_path):
        directory = write_model(
            tmp_path,
            config='{"extra": [[{}]], "special_token_removal_method": {"AhoCorasick": null},'
                   ' "special_tokens": [], "pre_tokenizer": "Punctuation", "target_vocab_size": 1}\n',
            token_table='{"token_to_id": {"x": 0}, "id_to_token": ["x"]}',
            merge_rules="[]", save_ranks="{}", pairs_to_merge="{}")
        assert vocabulary(BpeTokenizer.from_pretrained(directory)) == ["x"]

    @pytest.mark.parametrize("stem, key", [("save_ranks", "127"), ("pairs_to_merge", "a_7")])
    def test_a_malformed_pair_key_raises_panic_exception_from_either_loader(self, tmp_path, stem, key):
        child = run_python(
            "import sys, wordloom\n"
            "for load in (wordloom.BpeTokenizer.from_pretrained, wordloom.BpeTokenizer.load):\n"
            "    try:\n"
            "        load(sys.argv[1])\n"
            "    except BaseException as error:\n"
            "        print(type(error).__name__, isinstance(error, Exception), error)\n",
            write_model(tmp_path, **{stem: json.dumps({key: 0})}))
        assert child.returncode == 0, child.stderr
        assert child.stdout.splitlines() == [f'PanicException False malformed pair key "{key}" in {stem}.json'] * 2


class TestFatalLoadFailures:
    @staticmethod
    def load_in_child(directory):
        child = run_python(LOAD_IN_CHILD, directory)
        assert (child.returncode, child.stdout) == (1, ""), child.stderr
        return child.stderr

    def test_a_missing_directory_or_regular_file(self, tmp_path):
        for path in ("no/such/dir", write_model(tmp_path) + "/config.json"):
            assert self.load_in_child(path) == (
                f"Error: {path} directory does not exists or the path provided is not a directory\n")

    @pytest.mark.parametrize("special", ["fifo", "device"])
    def test_a_model_file_that_is_not_a_regular_file(self, tmp_path, special):
        directory = write_model(tmp_path)
        (tmp_path / "merge_rules.json").unlink()
        if special == "fifo":
            os.mkfifo(tmp_path / "merge_rules.json")
        else:
            (tmp_path / "merge_rules.json").symlink_to("/dev/zero")
        assert self.load_in_child(directory) == "Error: File Error: Invalid argument (os error 22)\n"

    def test_the_first_missing_file_in_check_order(self, tmp_path):
        directory = write_model(tmp_path)
        (tmp_path / "token_table.json").unlink()
        (tmp_path / "save_ranks.json").unlink()
        assert self.load_in_child(directory) == "Error: save_ranks.json does not exist in the directory provided\n"

    @pytest.mark.parametrize("replaced, line", [
        ({"config": '{\n  "target_vocab_size": 10,\n  "pre_tokenizer": "Whitespace",\n'
                    '  "special_token_removal_method": "Simple"\n}'},
         "missing field `special_tokens` at line 5 column 1"),
        ({"pairs_to_merge": '{"1_2": 1.5}'}, "invalid type: floating point `1.5`, expected u32 at line 1 column 11"),
        ({"merge_rules": "[[1, 2]]\n\t junk"}, None),
    ])
    def test_json_errors_name_the_line_and_column(self, tmp_path, replaced, line):
        stderr = self.load_in_child(write_model(tmp_path, **replaced))
        if line is None:
            assert stderr.startswith("Error: Json serialization error syntax error"), stderr
            assert stderr.endswith(" at line 2 column 3\n"), stderr
        else:
            assert stderr == f"Error: Json serialization error {line}\n"


class TestSavePretrained:
    def test_saves_as_training_does_and_loads_what_it_saved(self, awkward_corpus, saved, tmp_path):
        tokenizer = train_awkward(awkward_corpus)
        directory = tmp_path / "nested" / "later"
        assert tokenizer.save_pretrained(directory) is None  # os.PathLike accepted; parents made
        assert sorted(os.listdir(directory)) == sorted(MODEL_FILES)
        assert read_model(directory) == read_model(saved)
        for name in ("config.json", "merge_rules.json"):  # no maps: byte for byte
            assert (directory / name).read_bytes() == (saved / name).read_bytes()
        for name in MODEL_FILES:  # Python's pretty printer writes the same layout, member order kept
            text = (saved / name).read_text(encoding="utf-8")
            assert json.dumps(json.loads(text), indent=2, ensure_ascii=False) == text, name
        assert read_model(saved)["config.json"]["special_tokens"] == ['<|end|>', 'q"\\\x01']
        loaded = BpeTokenizer.load(str(directory))
        assert vocabulary(loaded) == vocabulary(tokenizer)
        assert loaded.get_vocab_size() == tokenizer.get_vocab_size() == len(vocabulary(tokenizer))
        assert loaded.encode("lower <|end|> newest").ids == tokenizer.encode("lower <|end|> newest").ids
        loaded.save_pretrained(str(tmp_path / "again"))
        assert read_model(tmp_path / "again") == read_model(saved)

    def test_an_untrained_tokenizer_is_refused(self, untrained, tmp_path):
        assert untrained.get_vocab_size() == 0
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
        no_merges = shutil.copytree(saved, tmp_path / "no_merges")
        (no_merges / "merge_rules.json").unlink()
        directory_table = shutil.copytree(saved, tmp_path / "directory_table")
        (directory_table / "token_table.json").unlink()
        (directory_table / "token_table.json").mkdir()
        cases = [
            (tmp_path / "absent", FileNotFoundError, tmp_path / "absent"),
            (saved / "config.json", NotADirectoryError, saved / "config.json"),
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

    def test_arguments(self, saved):
        assert repr(BpeTokenizer.load(files_path=os.fsencode(saved))) == repr(BpeTokenizer.load(str(saved)))
        with pytest.raises(TypeError, match="^BpeTokenizer.load\\(\\) missing 1 required positional argument"):
            BpeTokenizer.load()
        with pytest.raises(ValueError, match="embedded null"):
            BpeTokenizer.load("a\0b")
