"""Training a model from a corpus file and saving it to a directory: in this
process, or in a child interpreter so that the failures that end the process
(a corpus that cannot be read, a model that cannot be saved) become a
TrainingError instead."""
import os
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager, suppress
from pathlib import Path

import wordloom

from wordloom_tools import isolated
from wordloom_tools.failures import cause
from wordloom_tools.silence import silenced

PathLike = str | os.PathLike[str]


class TrainingError(Exception):
    """Training failed; the message names the corpus or the output directory
    and the cause."""


def train(corpus: PathLike, vocab_size: int, out: PathLike, punctuation: bool = False,
          special_tokens: Sequence[str] = (), aho_corasick: bool = False) -> None:
    """Trains on `corpus` and saves the model to `out`, leaving out the
    extension's timing lines. A corpus that cannot be read or a model that
    cannot be saved ends the process."""
    tokenizer = wordloom.BpeTokenizer(
        str(corpus), vocab_size,
        wordloom.PreTokenization.punctuation() if punctuation else wordloom.PreTokenization.whitespace(),
        special_tokens=list(special_tokens),
        special_token_removal_method=wordloom.SpecialTokenRemovalMethod.aho_corasick() if aho_corasick else None,
        save_model=True, output_dir=str(out))
    with silenced(1):
        tokenizer.train()


def train_isolated(corpus: PathLike, vocab_size: int, out: PathLike, punctuation: bool = False,
                   special_tokens: Sequence[str] = (), aho_corasick: bool = False,
                   while_waiting: Callable[[], None] = lambda: None) -> None:
    """`train` in a child interpreter, calling `while_waiting` now and then
    until it ends."""
    with _output_directory(Path(out)):
        try:
            isolated.run(f"{__name__}:train", str(corpus), vocab_size, str(out), punctuation, list(special_tokens),
                         aho_corasick, while_waiting=while_waiting)
        except isolated.ChildFailed as failure:
            raise TrainingError(_explain(str(failure), corpus, out)) from None


@contextmanager
def _output_directory(out: Path) -> Iterator[None]:
    """Makes `out` before the block, so that a directory that cannot be made
    fails at once rather than after training; a failed block leaves no new
    empty directory behind."""
    existed = out.is_dir()
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise TrainingError(f"cannot create {out}: {cause(error)}") from None
    try:
        yield
    except BaseException:
        if not existed:
            with suppress(OSError):
                out.rmdir()
        raise


def _explain(message: str, corpus: PathLike, out: PathLike) -> str:
    """The extension's fatal message, which names neither path."""
    if message.startswith("Error reading file: "):
        return f"cannot read {corpus}: {message.removeprefix('Error reading file: ')}"
    if message.startswith("Error: "):
        return f"cannot save the model to {out}: {message.removeprefix('Error: ').removeprefix('File Error: ')}"
    return f"training on {corpus} failed: {message}"
