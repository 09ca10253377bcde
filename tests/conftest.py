"""Shared fixtures for the Python suite: a tiny corpus, trained tokenizers and
hand-written model directories."""
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import wordloom

# The source tree's wordloom_tools (pytest's pythonpath) names the model files.
from wordloom_tools.model_files import MODEL_FILES

CORPUS = "low lower lowest\nnew newer newest\nwide wider widest\nlow new wide\n"


class Index:
    """An object that operator.index() accepts without being an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def after_training(tokenizer):
    """Trains `tokenizer` and returns it, for one-line fixtures."""
    tokenizer.train()
    return tokenizer


def vocabulary(tokenizer):
    """Every token string in id order, read through the single lookups."""
    size = int(re.fullmatch(r"BpeTokenizer\(vocab_size=(\d+)\)", repr(tokenizer)).group(1))
    return [tokenizer.get_token_by_id(i) for i in range(size)]


def run_python(code, *args):
    """Runs `code` in a fresh interpreter (for paths that may end the process)."""
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=300)


@pytest.fixture
def corpus(tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_text(CORPUS, encoding="utf-8")
    return str(path)


@pytest.fixture
def untrained(tmp_path):
    return wordloom.BpeTokenizer(str(tmp_path / "absent.txt"), 30, wordloom.PreTokenization.whitespace())


@pytest.fixture
def trained(corpus):
    return after_training(wordloom.BpeTokenizer(corpus, 30, wordloom.PreTokenization.whitespace()))


@pytest.fixture(scope="session")
def corpora_dir():
    """shared/corpora in some folder above the repository."""
    for folder in pathlib.Path(__file__).resolve().parents:
        if (folder / "shared" / "corpora").is_dir():
            return folder / "shared" / "corpora"
    pytest.skip("needs the shared corpora, shared/corpora in a folder above the repository root")


def write_model_files(directory, id_to_token, merges=(), special_tokens=(), pre_tokenizer="Whitespace"):
    """Writes a model directory; `merges` lists (left, right, result) in rank order."""
    directory.mkdir(parents=True, exist_ok=True)
    key = "{}_{}".format
    files = {
        "config.json": {"target_vocab_size": len(id_to_token), "pre_tokenizer": pre_tokenizer,
                        "special_tokens": list(special_tokens), "special_token_removal_method": "Simple"},
        "token_table.json": {"id_to_token": list(id_to_token),
                             "token_to_id": {token: i for i, token in enumerate(id_to_token)}},
        "merge_rules.json": [[left, right] for left, right, _ in merges],
        "save_ranks.json": {key(left, right): rank for rank, (left, right, _) in enumerate(merges)},
        "pairs_to_merge.json": {key(left, right): result for left, right, result in merges},
    }
    for name, content in files.items():
        (directory / name).write_text(json.dumps(content, indent=2), encoding="utf-8")
    return str(directory)


def pytest_sessionstart(session):
    """The sanitizer run must test the sanitized build, not an installed one."""
    if os.environ.get("WORDLOOM_EXPECT_SANITIZED") and "sanitize" not in wordloom.__file__:
        pytest.exit(f"expected the sanitized build, got {wordloom.__file__}", returncode=3)
