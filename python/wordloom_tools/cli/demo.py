"""`wordloom demo`: trains on a corpus that every machine has (or the one
given), shows a line of that corpus encoded and decoded, and sums the model
up in a short table."""
import argparse
import sys
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import wordloom

from wordloom_tools import model_files
from wordloom_tools.cli import progress
from wordloom_tools.cli.train import Corpus, train_model
from wordloom_tools.cli.errors import UserError
from wordloom_tools.corpus import stdlib_corpus
from wordloom_tools.training import Settings

VOCAB_SIZE = 8000
SAMPLE_WORDS = range(4, 16)  # how many words a line must have to be the sample
COMPRESSION_TEXT = 1_000_000  # characters of the corpus that the compression figure is measured on


def run(options: argparse.Namespace) -> None:
    show = progress.shown(options.quiet)
    corpus = options.corpus or stdlib_corpus(track=lambda files: progress.counted(files, "building corpus", show))
    print(f"corpus    {corpus} ({corpus.stat().st_size / 1e6:.1f} MB)")
    with _model_directory(options.out) as out:
        seconds = train_model([Corpus(str(corpus), [corpus])], Settings(), options.vocab_size, out, options.quiet)
        tokenizer = model_files.load(out)
        text = corpus.read_text(encoding="utf-8")  # training has shown that it is UTF-8
        _show_sample(tokenizer, sample_line(text))
        measured = text[:COMPRESSION_TEXT]
        tokens = len(encode_text(tokenizer, measured).ids)
        summary = model_files.summarize(out)
    print()
    print(f"vocabulary size   {summary.vocabulary_size} tokens (target {summary.target_vocab_size})")
    print(f"merges            {summary.merges}")
    print(f"training time     {seconds:.2f} s")
    print(f"compression       {_ratio(len(measured), tokens)} characters per token "
          f"(on {len(measured) / 1e6:.1f} MB of the corpus)")
    print()
    if options.out is None:
        print("The model was not kept; add --out DIR to keep it, then try it with")
        out = Path("DIR")
    else:
        print(f"Saved to {out}; try it with")
    print(f"  {_this_command()} encode --model {out} \"your text\"")
    print(f"  {_this_command()} info --model {out}")


def sample_line(text: str) -> str:
    """A line of `text` to show encoded: the first one past the middle (going
    round to the start) with a handful of words, else the longest line."""
    lines = [line.strip() for line in text.splitlines()]
    middle = len(lines) // 2
    for line in lines[middle:] + lines[:middle]:
        if len(line.split()) in SAMPLE_WORDS:
            return line
    return max(lines, key=len, default="")


def _show_sample(tokenizer: wordloom.BpeTokenizer, sample: str) -> None:
    encoded = encode_text(tokenizer, sample)
    print(f"sample    {sample!r}")
    print(f"tokens    {' '.join(encoded.tokens)}")
    print(f"ids       {' '.join(map(str, encoded.ids))}")
    print(f"decoded   {tokenizer.decode(encoded.ids)!r}")


def encode_text(tokenizer: wordloom.BpeTokenizer, text: str) -> wordloom.Encoder:
    """The encoding of `text`, or a UserError when it has a character that
    the model never saw. The batch method checks the characters first: it
    reports such a character as a ValueError, where encode takes the
    internal-failure path with its diagnostic on standard error."""
    try:
        tokenizer.encode_batch([text], num_threads=1)
    except ValueError as error:
        reason = str(error).removeprefix("text 0: ")
        raise UserError(f"{reason}: the model never saw it in training") from None
    return tokenizer.encode(text)


@contextmanager
def _model_directory(out: Path | None) -> Iterator[Path]:
    """`out`, or else a temporary directory that is removed afterwards."""
    if out is not None:
        yield out.absolute()
        return
    with tempfile.TemporaryDirectory(prefix="wordloom-demo-") as temporary:
        yield Path(temporary)


def _ratio(characters: int, tokens: int) -> str:
    return f"{characters / tokens:.2f}" if tokens else "-"


def _this_command() -> str:
    """How to run this command again from any directory, whether or not it is
    on the PATH."""
    script = Path(sys.argv[0])
    if script.name == "wordloom":
        return str(script.absolute())
    return f"{sys.executable} -m wordloom_tools"
