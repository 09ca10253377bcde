"""Model directories: their five files, loading one with a message that
names the file and the cause, and what its files say about the model."""
import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import wordloom

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
    """The tokenizer saved in `directory`; ModelError when it cannot be loaded."""
    path = check_complete(directory)
    try:
        return wordloom.BpeTokenizer.load(path)
    except OSError as error:
        if error.filename:
            raise ModelError(f"cannot read {error.filename}: {cause(error)}") from None
        raise ModelError(f"cannot load the model in {path}: {cause(error)}") from None
    except ValueError as error:
        raise ModelError(_explain_malformed(path, str(error))) from None
    except RuntimeError as error:
        raise ModelError(f"cannot load the model in {path}: {error}") from None


def _explain_malformed(directory: Path, message: str) -> str:
    """The loader's "<file>: <reason>" about a file it refuses, in the words
    of Python's JSON reader when the file is not JSON at all."""
    for name in MODEL_FILES:
        file = directory / name
        if message.startswith(f"{file}: "):
            read_json(file)
            reason = message.removeprefix(f"{file}: ").removeprefix(JSON_ERROR)
            return f"cannot load the model in {directory}: {name} does not hold what it should ({reason})"
    return f"cannot load the model in {directory}: {message}"


def read_json(path: Path) -> Any:
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        raise ModelError(f"cannot read {path}: {cause(error)}") from None


def special_tokens(directory: str | os.PathLike[str]) -> list[str]:
    """The special tokens of the model in `directory`, once it has loaded
    (so that its config.json is known to be valid)."""
    tokens: list[str] = read_json(Path(directory) / "config.json")["special_tokens"]
    return tokens


def vocabulary(tokenizer: wordloom.BpeTokenizer) -> list[str]:
    """Every token string of `tokenizer` in id order."""
    return [tokenizer.get_token_by_id(token_id) for token_id in range(tokenizer.get_vocab_size())]


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
