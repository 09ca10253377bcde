"""The `wordloom` command: argument parsing and the one place where errors
become messages and exit statuses."""
import argparse
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path

import wordloom

from wordloom_tools.cli import commands, demo
from wordloom_tools.cli import encode as encode_command
from wordloom_tools.cli import train as train_command
from wordloom_tools.cli.errors import UsageError, UserError
from wordloom_tools.failures import cause
from wordloom_tools.model_files import ModelError, check_complete
from wordloom_tools.training import TrainingError

FAILED, USAGE, INTERRUPTED = 1, 2, 130

EXAMPLES = """\
examples:
  wordloom demo
  wordloom train corpus.txt more/ --vocab-size 8000 --out model
  wordloom encode --model model "some text"
  wordloom encode --model model --ids < lines.txt > encoded.jsonl
  wordloom encode --model model --input corpus.txt --output ids.npy
  wordloom decode --model model 17 512 33
  wordloom decode --model model < encoded.jsonl
  wordloom info --model model
"""


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command in `argv` (default: the process's arguments) and
    returns the exit status: 0, 1 for a failed command, 130 when
    interrupted; wrong usage exits with 2."""
    parser = build_parser()
    try:
        options = parser.parse_args(argv)
        return _run(options)
    except KeyboardInterrupt:
        print("wordloom: interrupted", file=sys.stderr)
        return INTERRUPTED


def _run(options: argparse.Namespace) -> int:
    try:
        options.run(options)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
    except UsageError as error:
        options.parser.error(str(error))
    except (UserError, ModelError, TrainingError) as error:
        return _fail(options, str(error))
    except BrokenPipeError:
        # The reader went away (`wordloom encode ... | head`): drop what is left unwritten.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    except OSError as error:
        return _fail(options, f"{error.filename}: {cause(error)}" if error.filename else cause(error))
    except Exception as error:
        return _fail(options, f"unexpected failure, please report it: {type(error).__name__}: {error}")
    return 0


def _fail(options: argparse.Namespace, message: str) -> int:
    print(f"wordloom {options.command}: error: {message}", file=sys.stderr)
    return FAILED


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="wordloom", description="Train and use byte-pair-encoding tokenizers.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"wordloom {wordloom.__version__}")
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    train = _add_command(subcommands, "train", train_command.run,
                         "learn a vocabulary from a corpus and save the model")
    train.add_argument("corpus", metavar="CORPUS", nargs="+", type=_argument(corpus),
                       help="a UTF-8 text file; a directory, for every file in it and its subdirectories except "
                            "hidden ones, in path order; - for standard input. Each file is a document")
    train.add_argument("--vocab-size", required=True, metavar="N", type=_argument(vocab_size),
                       help="stop when the vocabulary has N tokens")
    train.add_argument("--out", required=True, metavar="DIR", type=_argument(output_directory),
                       help="directory to save the model to (created if missing)")
    train.add_argument("--punctuation", action="store_true",
                       help="split words at ASCII punctuation too, not only at white space")
    train.add_argument("--special-token", action="append", default=[], metavar="T", dest="special_tokens",
                       help="a token to keep whole and give one of the first ids (repeatable)")
    train.add_argument("--aho-corasick", action="store_true",
                       help="remove the special tokens from the corpus with one Aho-Corasick pass "
                            "instead of one pass per token")
    train.add_argument("--dask", metavar="ADDRESS",
                       help="count the words on the Dask cluster whose scheduler is at ADDRESS "
                            "(tcp://host:8786); its workers read the corpus files at the same paths")
    _add_quiet_option(train)

    encode = _add_command(subcommands, "encode", encode_command.run, "split text into tokens and ids")
    _add_model_option(encode)
    encode.add_argument("text", metavar="TEXT", nargs="?",
                        help="the text to encode; without it, each line of the --input files or of standard "
                             "input is encoded")
    encode.add_argument("-i", "--input", action="append", default=[], metavar="FILE", dest="inputs",
                        type=_argument(input_file),
                        help="a UTF-8 text file whose lines to encode, - for standard input (repeatable)")
    encode.add_argument("-o", "--output", metavar="FILE", type=_argument(output_file),
                        help="write to FILE instead of standard output; a FILE named X.npy gets the ids of "
                             "every line as a uint32 array, and X.offsets.npy where each line's ids start (uint64)")
    formats = encode.add_mutually_exclusive_group()
    formats.add_argument("--json", action="store_const", const="json", dest="format", default="plain",
                         help="print one JSON object per text: text, tokens, ids and token types")
    formats.add_argument("--ids", action="store_const", const="ids", dest="format",
                         help="print one JSON object per text with its ids only: {\"ids\": [...]} (fastest)")
    encode.add_argument("--on-unknown", choices=("error", "skip", "replace"), default="error",
                        help="what a line with a character that has no token (or that is not UTF-8) gets: "
                             "error: an error record in JSON output, else the command stops; skip: the line is "
                             "left out; replace: such characters are dropped from it (default: error)")
    _add_quiet_option(encode)

    decode = _add_command(subcommands, "decode", commands.decode, "turn token ids back into text")
    _add_model_option(decode)
    decode.add_argument("ids", metavar="ID", nargs="*", type=_argument(commands.token_id),
                        help="token ids (ids beyond the vocabulary are skipped); without them, standard input "
                             "gives one text per line of ids separated by spaces or commas, or per JSON list "
                             "of ids (or JSON object with \"ids\", as `encode --json` and `--ids` print; their "
                             "error records give empty lines)")

    info = _add_command(subcommands, "info", commands.info, "show a model's vocabulary size and settings")
    _add_model_option(info)

    show = _add_command(subcommands, "demo", demo.run,
                        "train on this Python's standard library (or a given corpus), then encode and decode "
                        "a line of it")
    show.add_argument("--out", metavar="DIR", type=_argument(output_directory),
                      help="directory to save the model to (default: a temporary directory, removed afterwards)")
    show.add_argument("--vocab-size", metavar="N", type=_argument(vocab_size), default=demo.VOCAB_SIZE,
                      help=f"vocabulary size to train (default: {demo.VOCAB_SIZE})")
    show.add_argument("--corpus", metavar="FILE", type=_argument(existing_file),
                      help="train on this UTF-8 file instead of the standard library's sources")
    _add_quiet_option(show)
    return parser


def _add_command(subcommands: "argparse._SubParsersAction[argparse.ArgumentParser]", name: str,
                 run: Callable[[argparse.Namespace], None], summary: str) -> argparse.ArgumentParser:
    command = subcommands.add_parser(name, help=summary, description=summary[0].upper() + summary[1:] + ".")
    command.set_defaults(run=run, parser=command)
    return command


def _add_model_option(command: argparse.ArgumentParser) -> None:
    command.add_argument("--model", required=True, metavar="DIR", type=_argument(model_directory),
                         help="a model directory written by `wordloom train`")


def _add_quiet_option(command: argparse.ArgumentParser) -> None:
    command.add_argument("-q", "--quiet", action="store_true",
                         help="show no progress (it is shown only when standard error is a terminal)")


# Argument types: each raises ValueError with a message for a wrong value,
# which _argument turns into an argparse usage error.

def _argument[T](parse: Callable[[str], T]) -> Callable[[str], T]:
    def checked(text: str) -> T:
        try:
            return parse(text)
        except (ValueError, ModelError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return checked


def vocab_size(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value < 2**64:
        raise ValueError(f"expected a positive whole number, got {text!r}")
    return value


def existing_file(text: str) -> Path:
    path = Path(text)
    if path.is_dir():
        raise ValueError(f"{text} is a directory, not a file")
    if not path.exists():
        raise ValueError(f"no such file: {text}")
    if not os.access(path, os.R_OK):
        raise ValueError(f"cannot read {text}: permission denied")
    return path


def corpus(text: str) -> train_command.Corpus:
    """A file, a directory that holds files, or "-" for standard input."""
    if text == commands.STANDARD_INPUT:
        return train_command.Corpus(text, None)
    if Path(text).is_dir():
        files = train_command.files_in(Path(text))
        if not files:
            raise ValueError(f"{text} holds no files")
        return train_command.Corpus(text, files)
    return train_command.Corpus(text, [existing_file(text)])


def input_file(text: str) -> str:
    """A file to read, or "-" for standard input."""
    return text if text == commands.STANDARD_INPUT else str(existing_file(text))


def output_file(text: str) -> Path:
    path = Path(text)
    if path.is_dir():
        raise ValueError(f"{text} is a directory, not a file")
    if not path.absolute().parent.is_dir():
        raise ValueError(f"no such directory: {path.parent}")
    return path


def output_directory(text: str) -> Path:
    path = Path(text)
    if path.exists() and not path.is_dir():
        raise ValueError(f"{text} exists and is not a directory")
    return path


def model_directory(text: str) -> Path:
    """A directory with every model file: anything less is wrong usage."""
    return check_complete(text)
