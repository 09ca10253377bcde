"""The train, encode, decode and info commands."""
import json
import sys

from wordloom_tools.cli import model
from wordloom_tools.cli.errors import UserError


def train(options):
    seconds = model.train(options.corpus, options.vocab_size, options.out, options.punctuation,
                          options.special_tokens, options.aho_corasick)
    print(f"trained on {options.corpus} in {seconds:.2f} s; model saved to {options.out}")
    for line in model.summarize(options.out).lines():
        print(line)


def encode(options):
    tokenizer = model.load(options.model)
    show = _show_json if options.json else _show_plain
    for where, text in _texts(options.text):
        try:
            encoded = model.encode(tokenizer, text)
        except UserError as error:
            raise UserError(f"{where}{error}") from None
        show(encoded)


def decode(options):
    print(model.load(options.model).decode(options.ids))


def info(options):
    print(f"model            {options.model}")
    for line in model.summarize(options.model).lines():
        print(line)


def _texts(text):
    """(where, text) pairs: the argument, or else each line of standard input."""
    if text is not None:
        yield "", text
        return
    for number, line in enumerate(sys.stdin.buffer, start=1):
        # Invalid UTF-8 survives as surrogates, which encoding then reports.
        yield f"line {number}: ", line.decode("utf-8", "surrogateescape").rstrip("\r\n")


def _show_plain(encoded):
    print(" ".join(encoded.tokens))
    print(" ".join(map(str, encoded.ids)))


def _show_json(encoded):
    print(json.dumps({"text": encoded.original_text, "tokens": encoded.tokens, "ids": encoded.ids,
                      "types": [model.token_type_name(kind) for kind in encoded.token_types]},
                     ensure_ascii=False))
