"""Rebuilds pickled tokenizers. The extension's classes are named in builtins,
where pickle cannot find them, so a pickled BpeTokenizer names this function."""
from wordloom import BpeTokenizer


def restore_tokenizer(state: bytes) -> BpeTokenizer:
    """The tokenizer that BpeTokenizer.to_bytes() turned into `state`."""
    return BpeTokenizer.from_bytes(state)
