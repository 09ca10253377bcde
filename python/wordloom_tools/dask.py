"""Counting words on a Dask cluster (the `dask` extra): the workers count
shards of the corpus and the counts come back added up in shard order, so
that they equal the counts of the whole corpus and train the same model.

    client = Client("tcp://scheduler:8786")
    counts = count_words("s3://bucket/corpus/*.txt", "whitespace", client=client)
    counts.train(32000, save_model=True, output_dir="model")

Paths are fsspec URLs or local paths, glob patterns included; each file is a
document (its end ends a word), and a large one is read as several shards.
A dask.bag.Bag of str is counted item by item, each item a document, in bag
order. Only the counts travel back to the client, never the text."""
import errno
import operator
import os
import re
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Literal

try:
    import dask.bag
    import fsspec
    from dask.delayed import Delayed, delayed
    from distributed import Client
except ImportError as error:
    raise ImportError(f"{error}; wordloom_tools.dask needs the dask extra: pip install 'wordloom[dask]'") from error

import wordloom

from wordloom_tools import WordCounts
from wordloom_tools.failures import cause
from wordloom_tools.silence import silenced
from wordloom_tools.training import TrainingError, _output_directory

PreTokenizationName = Literal["whitespace", "punctuation"]
RemovalMethodName = Literal["simple", "aho_corasick"]
PathLike = str | os.PathLike[str]

DEFAULT_BLOCKSIZE = 64 << 20  # bytes of a file per shard: text, its copy and the counts fit a worker easily
SEARCH_BYTES = 1 << 16
WAITING_INTERVAL = 0.1  # seconds between calls of while_waiting
# Cutting right after white space that no special token contains changes no
# count: no word and no special token spans the cut (the rule by which the
# core reads a file a chunk at a time). An ASCII byte is always a whole
# character in UTF-8, so shards are cut in the bytes, before decoding.
ASCII_WHITE_SPACE = " \t\n\v\f\r"


@dataclass(frozen=True)
class _Settings:
    """How text becomes words, in names that a worker turns back into
    wordloom's settings (which cannot be pickled)."""
    pretokenization_type: PreTokenizationName
    special_tokens: tuple[str, ...]
    special_token_removal_method: RemovalMethodName | None

    def __post_init__(self) -> None:
        _check_name("pretokenization_type", self.pretokenization_type, ("whitespace", "punctuation"))
        if self.special_token_removal_method is not None:
            _check_name("special_token_removal_method", self.special_token_removal_method, ("simple", "aho_corasick"))

    def count(self, texts: Iterable[str]) -> WordCounts:
        method = self.special_token_removal_method
        return WordCounts.from_texts(texts, getattr(wordloom.PreTokenization, self.pretokenization_type)(),
                                     list(self.special_tokens),
                                     None if method is None else getattr(wordloom.SpecialTokenRemovalMethod, method)())

    def shard_ends(self) -> re.Pattern[bytes] | None:
        """The characters after which a file may be cut into shards; None when
        every kind is part of some special token."""
        allowed = [space for space in ASCII_WHITE_SPACE if not any(space in token for token in self.special_tokens)]
        return re.compile(f"[{re.escape(''.join(allowed))}]".encode()) if allowed else None


def _check_name(argument: str, value: object, names: tuple[str, ...]) -> None:
    if not isinstance(value, str) or value not in names:
        raise ValueError(f"{argument} must be {' or '.join(map(repr, names))} (a name, as wordloom's setting "
                         f"objects cannot travel to the workers), not {value!r}")


@dataclass(frozen=True)
class _Shard:
    """Bytes `start` to `stop` of a file (None: to its end), each moved on
    to the next place where the file may be cut. Neighbouring shards meet
    there, as both move the same offset."""
    fs: fsspec.AbstractFileSystem
    path: str
    start: int
    stop: int | None

    def text(self, ends: re.Pattern[bytes] | None) -> str:
        with self.fs.open(self.path, "rb") as stream:  # its own stream: threads may read one file at once
            start = _next_cut(stream, self.start, ends)
            stop = None if self.stop is None else _next_cut(stream, self.stop, ends)
            stream.seek(start)
            data: bytes = stream.read() if stop is None else stream.read(stop - start)
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise ValueError(f"{self.path!r} is not valid UTF-8: no character can start at byte offset "
                             f"{start + error.start}") from None


def _next_cut(stream: IO[bytes], offset: int, ends: re.Pattern[bytes] | None) -> int:
    """The first place at or after `offset` that follows a character of
    `ends`, else the end of the file; the start stays the start."""
    if offset == 0 or ends is None:
        return offset
    position = offset - 1
    stream.seek(position)
    while block := stream.read(SEARCH_BYTES):
        if found := ends.search(block):
            return position + found.end()
        position += len(block)
    return position


def _count_shard(shard: _Shard, settings: _Settings) -> WordCounts:
    return settings.count([shard.text(settings.shard_ends())])


def count_words(paths_or_bag: PathLike | Sequence[PathLike] | dask.bag.Bag,
                pretokenization_type: PreTokenizationName, special_tokens: Sequence[str] = (),
                special_token_removal_method: RemovalMethodName | None = None, client: Client | None = None,
                blocksize: int | None = DEFAULT_BLOCKSIZE) -> WordCounts:
    """The word counts of the files at `paths_or_bag` (paths, URLs or glob
    patterns, read through fsspec), one after another, or of the str items
    of a dask.bag.Bag in bag order, counted on the cluster of `client` (by
    default the current client, or without one dask's local scheduler).

    Settings are named as the wordloom factories that make them
    ("punctuation", "aho_corasick"). Files larger than `blocksize` bytes are
    counted in shards of about that size (None: whole files)."""
    settings = _Settings(pretokenization_type, tuple(special_tokens), special_token_removal_method)
    total = _counting(paths_or_bag, settings, blocksize)
    counts: WordCounts = total.compute() if client is None else client.compute(total).result()
    return counts


def _counting(paths_or_bag: PathLike | Sequence[PathLike] | dask.bag.Bag, settings: _Settings,
              blocksize: int | None) -> Delayed:
    """The graph that counts `paths_or_bag`: a task for each shard or
    partition, then the additions."""
    if blocksize is not None and blocksize < 1:
        raise ValueError(f"blocksize must be a positive number of bytes or None, not {blocksize}")
    if isinstance(paths_or_bag, dask.bag.Bag):
        parts = [delayed(settings.count)(partition) for partition in paths_or_bag.to_delayed()]
    else:
        shards = _shards(paths_or_bag, blocksize, settings.shard_ends() is not None)
        parts = [delayed(_count_shard)(shard, settings) for shard in shards]
    return _added_in_order(parts or [delayed(settings.count)([])])


def _shards(paths: PathLike | Sequence[PathLike], blocksize: int | None, cuttable: bool) -> list[_Shard]:
    """The shards of the files in order: a file whole, or in pieces of about
    `blocksize` bytes when it is larger and may be cut."""
    given = [os.fspath(paths)] if isinstance(paths, str | os.PathLike) else [os.fspath(path) for path in paths]
    if not given:
        return []
    files = fsspec.open_files(given, mode="rb")
    if not files:
        raise FileNotFoundError(errno.ENOENT, "no files match", ", ".join(given))
    names = [file.path for file in files]
    shards = []
    for name, size in zip(names, files.fs.sizes(names)):  # the sizes in one round of requests
        if blocksize is None or not cuttable or size is None or size <= blocksize:
            shards.append(_Shard(files.fs, name, 0, None))
        else:
            starts = range(0, size, blocksize)
            shards.extend(_Shard(files.fs, name, start, stop) for start, stop in zip(starts, [*starts[1:], None]))
    return shards


def _added_in_order(parts: list[Delayed]) -> Delayed:
    """The sum of `parts`, first to last, in rounds that add neighbours
    (left + right), so that the additions run in parallel."""
    while len(parts) > 1:
        sums = [delayed(operator.add)(left, right) for left, right in zip(parts[0::2], parts[1::2])]
        parts = sums + parts[2 * len(sums):]
    return parts[0]


def train_on_cluster(address: str, corpus: PathLike | Sequence[PathLike], vocab_size: int, out: PathLike,
                     punctuation: bool = False, special_tokens: Sequence[str] = (), aho_corasick: bool = False,
                     while_waiting: Callable[[], None] = lambda: None) -> None:
    """Counts `corpus` on the Dask cluster whose scheduler is at `address`,
    then trains on the counts here and saves the model to `out`, calling
    `while_waiting` now and then until it ends; the settings are those of
    training.train. Failures raise TrainingError."""
    settings = _Settings("punctuation" if punctuation else "whitespace", tuple(special_tokens),
                         "aho_corasick" if aho_corasick else None)
    with _output_directory(Path(out)):  # made first: a directory that cannot be made fails before the counting
        counts = _count_on_cluster(address, corpus, settings, while_waiting)
        try:
            with silenced(1):
                counts.train(vocab_size, save_model=True, output_dir=os.fspath(out),
                             progress=lambda *_: while_waiting())
        except OSError as error:
            raise TrainingError(f"cannot save the model to {out}: {cause(error)}") from None


def _count_on_cluster(address: str, corpus: PathLike | Sequence[PathLike], settings: _Settings,
                      while_waiting: Callable[[], None]) -> WordCounts:
    try:
        client = Client(address)
    except (OSError, ValueError) as error:
        raise TrainingError(f"cannot reach the Dask scheduler at {address}: {cause(error)}") from None
    with client:
        try:
            future = client.compute(_counting(corpus, settings, DEFAULT_BLOCKSIZE))
            while not future.done():
                while_waiting()
                time.sleep(WAITING_INTERVAL)
            counts: WordCounts = future.result()
            return counts
        except OSError as error:
            raise TrainingError(f"cannot read {error.filename or corpus}: {cause(error)}") from None
        except ValueError as error:  # text that is not UTF-8, named by the message
            raise TrainingError(str(error)) from None
