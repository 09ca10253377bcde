"""Model directories as the command line uses them: checked before the
extension sees them (it ends the process on a bad one), trained, loaded,
used for encoding and summarised."""
import json
import time
from dataclasses import dataclass
from pathlib import Path

import wordloom

from wordloom_tools.cli.errors import UserError
from wordloom_tools.cli.silence import silenced

MODEL_FILES = ("config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json")


def missing_files(directory):
    """The model files that `directory` lacks, in their usual order."""
    return [name for name in MODEL_FILES if not (Path(directory) / name).is_file()]


def train(corpus, vocab_size, out, punctuation=False, special_tokens=(), aho_corasick=False):
    """Trains on `corpus`, saves the model to `out` and returns the seconds
    training took. The extension's progress lines are left out."""
    tokenizer = wordloom.BpeTokenizer(
        str(corpus), vocab_size,
        wordloom.PreTokenization.punctuation() if punctuation else wordloom.PreTokenization.whitespace(),
        special_tokens=list(special_tokens),
        special_token_removal_method=wordloom.SpecialTokenRemovalMethod.aho_corasick() if aho_corasick else None,
        save_model=True, output_dir=str(out))
    start = time.perf_counter()
    with silenced(1):
        tokenizer.train()
    return time.perf_counter() - start


def load(directory):
    """The tokenizer saved in `directory`, which must hold every model file."""
    return wordloom.BpeTokenizer.from_pretrained(str(directory))


def encode(tokenizer, text):
    """The encoding of `text`, or a UserError when it has a character that
    the model never saw or is not valid UTF-8."""
    try:
        with silenced(2):  # the extension prints a diagnostic of its own before raising
            return tokenizer.encode(text)
    except UnicodeEncodeError:
        raise UserError("the text is not valid UTF-8") from None
    except BaseException as error:
        # PanicException is not importable from the module, and it is not an Exception.
        if type(error).__name__ != "PanicException":
            raise
        raise UserError(f"{error}: the model never saw it in training") from None


def token_type_name(token_type):
    """The name of a wordloom.TokenType: "word", "subword" or "specialtoken"."""
    return repr(token_type).removeprefix("TokenType.").lower()


@dataclass
class Summary:
    vocabulary_size: int
    target_vocab_size: int
    merges: int
    pre_tokenizer: str
    special_tokens: list
    removal_method: str

    def lines(self):
        tokens = ", ".join(json.dumps(token, ensure_ascii=False) for token in self.special_tokens) or "none"
        return [
            f"vocabulary size  {self.vocabulary_size} (target {self.target_vocab_size})",
            f"merges           {self.merges}",
            f"pre-tokenizer    {self.pre_tokenizer}",
            f"special tokens   {tokens}",
            f"removal method   {self.removal_method}",
        ]


def summarize(directory):
    """What the model files in `directory` say about the model."""
    config = _read_json(directory, "config.json")
    try:
        return Summary(
            vocabulary_size=len(_read_json(directory, "token_table.json")["id_to_token"]),
            target_vocab_size=config["target_vocab_size"],
            merges=len(_read_json(directory, "merge_rules.json")),
            pre_tokenizer=_variant_name(config["pre_tokenizer"]),
            special_tokens=config["special_tokens"],
            removal_method=_variant_name(config["special_token_removal_method"]),
        )
    except (KeyError, TypeError, StopIteration) as error:
        raise UserError(f"{directory} does not hold a valid model ({type(error).__name__}: {error})") from None


def _read_json(directory, name):
    path = Path(directory) / name
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        raise UserError(f"cannot read {path}: {error}") from None


def _variant_name(value):
    """A setting's name; the loader also accepts the {"Name": null} form."""
    return value if isinstance(value, str) else next(iter(value))
