"""Types of the compiled module wordloom_tools._native."""
from collections.abc import Buffer, Callable, Iterable, Sequence
from os import PathLike
from typing import ClassVar, final

from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

_Path = str | bytes | PathLike[str] | PathLike[bytes]
# Called as progress(phase, done, total): "read" bytes, then "merge" tokens.
_Progress = Callable[[str, int, int], object]
# (prefix, table, separator, suffix) per piece of a text's output; a table of
# None stands for the ids in decimal.
_Fields = Sequence[tuple[bytes, Sequence[bytes] | None, bytes, bytes]]

def joined_lines(ids: Buffer, offsets: Buffer, fields: _Fields) -> bytes: ...
def shifted(numbers: Buffer, amount: int) -> bytes: ...

@final
class WordCounts:
    @staticmethod
    def from_files(
        paths: _Path | Iterable[_Path],
        pretokenization_type: PreTokenization,
        special_tokens: Sequence[str] = ...,
        special_token_removal_method: SpecialTokenRemovalMethod | None = None,
        progress: _Progress | None = None,
    ) -> WordCounts: ...
    @staticmethod
    def from_texts(
        texts: Iterable[str],
        pretokenization_type: PreTokenization,
        special_tokens: Sequence[str] = ...,
        special_token_removal_method: SpecialTokenRemovalMethod | None = None,
    ) -> WordCounts: ...
    def train(
        self,
        target_vocab_size: int,
        save_model: bool = False,
        output_dir: _Path | None = None,
        progress: _Progress | None = None,
    ) -> BpeTokenizer: ...
    def most_common(self, n: int | None = None) -> list[tuple[str, int]]: ...
    def __len__(self) -> int: ...
    def __add__(self, value: WordCounts, /) -> WordCounts: ...
    def __radd__(self, value: WordCounts, /) -> WordCounts: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __reduce__(self) -> tuple[Callable[[bytes], WordCounts], tuple[bytes]]: ...
    @classmethod
    def _from_state(cls, state: bytes, /) -> WordCounts: ...
