"""The `wordloom` command: argument parsing and the one place where errors
become messages and exit statuses."""
import argparse
import os
import sys
from pathlib import Path

from wordloom_tools.cli import commands, demo
from wordloom_tools.cli.errors import UserError
from wordloom_tools.cli.model import missing_files

EXAMPLES = """\
examples:
  wordloom demo
  wordloom train corpus.txt --vocab-size 8000 --out model
  wordloom encode --model model "some text"
  echo "some text" | wordloom encode --model model --json
  wordloom decode --model model 17 512 33
  wordloom info --model model
"""


def main(argv=None):
    """Runs the command in `argv` (default: the process's arguments) and
    returns the exit status, 0 or 1; wrong usage exits with 2 while parsing."""
    options = build_parser().parse_args(argv)
    try:
        options.run(options)
    except UserError as error:
        print(f"wordloom {options.command}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`wordloom encode ... | head`): drop what is left unwritten.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


def build_parser():
    parser = argparse.ArgumentParser(
        prog="wordloom", description="Train and use byte-pair-encoding tokenizers.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    train = _add_command(subcommands, "train", commands.train,
                         "learn a vocabulary from a corpus file and save the model")
    train.add_argument("corpus", metavar="CORPUS", type=existing_file, help="a UTF-8 text file")
    train.add_argument("--vocab-size", required=True, metavar="N", type=vocab_size,
                       help="stop when the vocabulary has N tokens")
    train.add_argument("--out", required=True, metavar="DIR", type=output_directory,
                       help="directory to save the model to (created if missing)")
    train.add_argument("--punctuation", action="store_true",
                       help="split words at ASCII punctuation too, not only at white space")
    train.add_argument("--special-token", action="append", default=[], metavar="T", dest="special_tokens",
                       help="a token to keep whole and give one of the first ids (repeatable)")
    train.add_argument("--aho-corasick", action="store_true",
                       help="remove the special tokens from the corpus with one Aho-Corasick pass "
                            "instead of one pass per token")

    encode = _add_command(subcommands, "encode", commands.encode, "split text into tokens and ids")
    _add_model_option(encode)
    encode.add_argument("text", metavar="TEXT", nargs="?",
                        help="the text to encode; without it, each line of standard input is encoded")
    encode.add_argument("--json", action="store_true",
                        help="print one JSON object per text: text, tokens, ids and token types")

    decode = _add_command(subcommands, "decode", commands.decode, "turn token ids back into text")
    _add_model_option(decode)
    decode.add_argument("ids", metavar="ID", nargs="+", type=token_id,
                        help="token ids; ids beyond the vocabulary are skipped")

    info = _add_command(subcommands, "info", commands.info, "show a model's vocabulary size and settings")
    _add_model_option(info)

    show = _add_command(subcommands, "demo", demo.run,
                        "train on this Python's standard library, then encode and decode a sample")
    show.add_argument("--out", metavar="DIR", type=output_directory,
                      help="directory to save the model to (default: a new temporary directory)")
    show.add_argument("--vocab-size", metavar="N", type=vocab_size, default=demo.VOCAB_SIZE,
                      help=f"vocabulary size to train (default: {demo.VOCAB_SIZE})")
    show.add_argument("--corpus", metavar="FILE", type=existing_file,
                      help="train on this UTF-8 file instead of the standard library's sources")
    return parser


def _add_command(subcommands, name, run, summary):
    command = subcommands.add_parser(name, help=summary, description=summary[0].upper() + summary[1:] + ".")
    command.set_defaults(run=run)
    return command


def _add_model_option(command):
    command.add_argument("--model", required=True, metavar="DIR", type=model_directory,
                         help="a model directory written by `wordloom train`")


# Argument types: they turn every wrong value into an argparse usage error.

def _whole_number(low, high, expected):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or not low <= value <= high:
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}")
        return value
    return parse


vocab_size = _whole_number(1, 2**64 - 1, "a positive whole number")
token_id = _whole_number(0, 2**32 - 1, f"a token id (a whole number from 0 to {2**32 - 1})")


def existing_file(text):
    path = Path(text)
    if not path.is_file():
        raise argparse.ArgumentTypeError(f"no such file: {text}")
    if not os.access(path, os.R_OK):
        raise argparse.ArgumentTypeError(f"cannot read {text}")
    return path


def output_directory(text):
    path = Path(text)
    if path.exists() and not path.is_dir():
        raise argparse.ArgumentTypeError(f"{text} exists and is not a directory")
    return path


def model_directory(text):
    """A directory with every model file: the extension ends the process
    when loading anything less, so this is checked first."""
    path = Path(text)
    if not path.is_dir():
        raise argparse.ArgumentTypeError(f"no such directory: {text}")
    missing = missing_files(path)
    if missing:
        raise argparse.ArgumentTypeError(f"{text} is not a wordloom model (missing {', '.join(missing)})")
    return path
