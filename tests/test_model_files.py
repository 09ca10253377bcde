"""The model directory seen from Python: loading hand-written and trained
models with BpeTokenizer.from_pretrained, and the failures that end the
process (checked in a child interpreter)."""
import json
import os

import pytest

from conftest import CORPUS, MODEL_FILES, run_python, train_or_skip, vocabulary
from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

SMALL_MODEL = {
    "config.json": {"target_vocab_size": 10, "pre_tokenizer": "Whitespace", "special_tokens": ["<s>"],
                    "special_token_removal_method": "Simple"},
    "token_table.json": {"id_to_token": ["<s>", "a", "</w>", "a</w>"],
                         "token_to_id": {"<s>": 0, "a": 1, "</w>": 2, "a</w>": 3}},
    "merge_rules.json": [[1, 2]],
    "save_ranks.json": {"1_2": 0},
    "pairs_to_merge.json": {"1_2": 3},
}

LOAD_IN_CHILD = """
import atexit, sys, wordloom
atexit.register(print, "exit handlers ran")
wordloom.BpeTokenizer.from_pretrained(sys.argv[1])
print("loaded")
"""


def write_model(directory, **replaced):
    """Writes SMALL_MODEL into `directory`, raw text taken from `replaced`."""
    directory.mkdir(parents=True, exist_ok=True)
    for name, content in SMALL_MODEL.items():
        text = replaced.get(name.replace(".json", ""), json.dumps(content, indent=2))
        (directory / name).write_text(text, encoding="utf-8")
    return str(directory)


class TestLoading:
    def test_a_hand_written_model_loads_as_trained(self, tmp_path):
        tokenizer = BpeTokenizer.from_pretrained(files_path=write_model(tmp_path))
        assert repr(tokenizer) == "BpeTokenizer(vocab_size=4)"
        assert vocabulary(tokenizer) == ["<s>", "a", "</w>", "a</w>"]
        assert tokenizer.get_id_by_token("a</w>") == 3
        with pytest.raises(RuntimeError, match="^Cannot train a pretrained model$"):
            tokenizer.train()

    def test_other_member_orders_extra_members_and_no_merges_load(self, tmp_path):
        directory = write_model(
            tmp_path,
            config='{"extra": [[{}]], "special_token_removal_method": {"AhoCorasick": null},'
                   ' "special_tokens": [], "pre_tokenizer": "Punctuation", "target_vocab_size": 1}\n',
            token_table='{"token_to_id": {"x": 0}, "id_to_token": ["x"]}',
            merge_rules="[]", save_ranks="{}", pairs_to_merge="{}")
        assert vocabulary(BpeTokenizer.from_pretrained(directory)) == ["x"]

    @pytest.mark.parametrize("key", ["127", "a_7"])
    def test_a_malformed_pair_key_raises_panic_exception(self, tmp_path, key):
        directory = write_model(tmp_path, save_ranks=json.dumps({key: 0}))
        child = run_python(
            "import sys, wordloom\n"
            "try:\n"
            "    wordloom.BpeTokenizer.from_pretrained(sys.argv[1])\n"
            "except BaseException as error:\n"
            "    print(type(error).__name__, isinstance(error, Exception), error)\n"
            "print('still running')\n",
            directory)
        assert child.returncode == 0, child.stderr
        assert child.stdout.splitlines() == [f'PanicException False malformed pair key "{key}" in save_ranks.json',
                                             "still running"]


class TestFatalLoadFailures:
    @staticmethod
    def load_in_child(directory):
        child = run_python(LOAD_IN_CHILD, directory)
        assert (child.returncode, child.stdout) == (1, ""), child.stderr
        return child.stderr

    def test_a_missing_directory_or_regular_file(self, tmp_path):
        for path in ("no/such/dir", str(tmp_path / "absent"), write_model(tmp_path) + "/config.json"):
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


class TestRoundTrip:
    @pytest.fixture
    def saved(self, tmp_path):
        """A tokenizer trained with awkward special tokens and its model directory."""
        corpus = tmp_path / "corpus.txt"
        corpus.write_text(CORPUS + 'say "hi" \\ to\tthe caf\u00e9 <|end|> \u2603\n', encoding="utf-8")
        output_dir = tmp_path / "nested" / "model"
        tokenizer = BpeTokenizer(str(corpus), 60, PreTokenization.punctuation(), ['<|end|>', 'q"\\\x01'],
                                 SpecialTokenRemovalMethod.aho_corasick(), True, str(output_dir))
        return train_or_skip(tokenizer), output_dir

    def test_every_file_is_in_the_pretty_layout(self, saved):
        # Python's own pretty printer writes the same layout, member order kept.
        _, output_dir = saved
        for name in MODEL_FILES:
            text = (output_dir / name).read_text(encoding="utf-8")
            assert json.dumps(json.loads(text), indent=2, ensure_ascii=False) == text, name
        config = json.loads((output_dir / "config.json").read_text(encoding="utf-8"))
        assert config["special_tokens"] == ['<|end|>', 'q"\\\x01']
