"""Training a model on word counts (wordloom_tools.WordCounts) and saving it
to a directory; failures raise TrainingError, naming the file or directory
and the cause."""
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from pathlib import Path

import wordloom

from wordloom_tools import WordCounts
from wordloom_tools.failures import cause

PathLike = str | os.PathLike[str]
Progress = Callable[[str, int, int], object]  # progress(phase, done, total), as WordCounts calls it


class TrainingError(Exception):
    """Training failed; the message names the corpus or the output directory
    and the cause."""


@dataclass(frozen=True)
class Settings:
    """How a corpus becomes words."""
    punctuation: bool = False
    special_tokens: tuple[str, ...] = ()
    aho_corasick: bool = False

    def count_files(self, paths: Sequence[PathLike], progress: Progress | None = None) -> WordCounts:
        """The word counts of the files, one document each, in order."""
        with reading_failures():
            return WordCounts.from_files([os.fspath(path) for path in paths], self.pretokenization(),
                                         list(self.special_tokens), self.removal_method(), progress=progress)

    def count_texts(self, texts: Iterable[str]) -> WordCounts:
        """The word counts of the texts, one document each, in order."""
        return WordCounts.from_texts(texts, self.pretokenization(), list(self.special_tokens),
                                     self.removal_method())

    def pretokenization(self) -> wordloom.PreTokenization:
        return wordloom.PreTokenization.punctuation() if self.punctuation else wordloom.PreTokenization.whitespace()

    def removal_method(self) -> wordloom.SpecialTokenRemovalMethod | None:
        return wordloom.SpecialTokenRemovalMethod.aho_corasick() if self.aho_corasick else None


def train_counts(count: Callable[[], WordCounts], vocab_size: int, out: PathLike,
                 progress: Progress | None = None) -> wordloom.BpeTokenizer:
    """Makes the directory `out` (first, so that one that cannot be made
    fails at once), trains on the word counts that `count` returns and saves
    the model to `out`. A failure leaves no new directory behind."""
    with _output_directory(Path(out)):
        tokenizer = count().train(vocab_size, progress=progress)
        try:
            tokenizer.save_pretrained(out)
        except OSError as error:
            raise TrainingError(f"cannot save the model to {out}: {cause(error)}") from None
    return tokenizer


@contextmanager
def reading_failures() -> Iterator[None]:
    """Turns what counting files raises (OSError, ValueError naming a file
    that is not UTF-8) into TrainingError."""
    try:
        yield
    except OSError as error:
        raise TrainingError(f"cannot read {error.filename}: {cause(error)}") from None
    except ValueError as error:
        raise TrainingError(str(error)) from None


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
