"""Model directories: their five files, loading one so that a bad directory
raises instead of ending the process, and what its files say about the
model."""
import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import wordloom

from wordloom_tools import isolated
from wordloom_tools.failures import cause

MODEL_FILES = ("config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json")
JSON_ERROR = "Json serialization error "  # how the loader starts a message about a file's content


class ModelError(ValueError):
    """A model directory that cannot be used; the message names the directory
    or file and the cause."""


def missing_files(directory: str | os.PathLike[str]) -> list[str]:
    """The model files that `directory` lacks, in their usual order."""
    return [name for name in MODEL_FILES if not (Path(directory) / name).is_file()]


def check_complete(directory: str | os.PathLike[str]) -> Path:
    """`directory` as a Path, once it is known to hold every model file."""
    path = Path(directory)
    if not path.is_dir():
        raise ModelError(f"no such directory: {path}")
    missing = missing_files(path)
    if missing:
        raise ModelError(f"{path} is not a wordloom model (missing {', '.join(missing)})")
    return path


def load(directory: str | os.PathLike[str]) -> wordloom.BpeTokenizer:
    """The tokenizer saved in `directory`. The extension's loader ends the
    process on a directory it refuses, so it first runs in a child
    interpreter; a refusal there raises ModelError."""
    path = check_complete(directory)
    try:
        isolated.run("wordloom:BpeTokenizer.from_pretrained", str(path))
    except isolated.ChildFailed as failure:
        raise ModelError(_explain_refusal(path, str(failure))) from None
    return wordloom.BpeTokenizer.from_pretrained(str(path))


def _explain_refusal(directory: Path, message: str) -> str:
    """The loader's message about `directory`, replaced by one that names the
    file when Python can tell which file is broken."""
    for name in MODEL_FILES:
        read_json(directory / name)
    message = message.removeprefix("Error: ")
    if message.startswith(JSON_ERROR):
        message = f"a model file does not hold what it should ({message.removeprefix(JSON_ERROR)})"
    return f"cannot load the model in {directory}: {message}"


def read_json(path: Path) -> Any:
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        raise ModelError(f"cannot read {path}: {cause(error)}") from None


def vocabulary(tokenizer: wordloom.BpeTokenizer) -> list[str]:
    """Every token string of `tokenizer` in id order."""
    size = int(repr(tokenizer).removeprefix("BpeTokenizer(vocab_size=").removesuffix(")"))
    return [tokenizer.get_token_by_id(token_id) for token_id in range(size)]


@dataclass
class Summary:
    vocabulary_size: int
    target_vocab_size: int
    merges: int
    pre_tokenizer: str
    special_tokens: list[str]
    removal_method: str

    def lines(self) -> list[str]:
        tokens = ", ".join(json.dumps(token, ensure_ascii=False) for token in self.special_tokens) or "none"
        return [
            f"vocabulary size  {self.vocabulary_size} (target {self.target_vocab_size})",
            f"merges           {self.merges}",
            f"pre-tokenizer    {self.pre_tokenizer}",
            f"special tokens   {tokens}",
            f"removal method   {self.removal_method}",
        ]


def summarize(directory: str | os.PathLike[str]) -> Summary:
    """What the model files in `directory` say about the model."""
    path = Path(directory)
    config = read_json(path / "config.json")
    try:
        return Summary(
            vocabulary_size=len(read_json(path / "token_table.json")["id_to_token"]),
            target_vocab_size=config["target_vocab_size"],
            merges=len(read_json(path / "merge_rules.json")),
            pre_tokenizer=_variant_name(config["pre_tokenizer"]),
            special_tokens=config["special_tokens"],
            removal_method=_variant_name(config["special_token_removal_method"]),
        )
    except (KeyError, TypeError, StopIteration) as error:
        raise ModelError(f"{path} does not hold a valid model ({type(error).__name__}: {error})") from None


def _variant_name(value: str | dict[str, None]) -> str:
    """A setting's name; the loader also accepts the {"Name": null} form."""
    return value if isinstance(value, str) else next(iter(value))
