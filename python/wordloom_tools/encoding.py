"""Encoding that reports a character the model never saw as a ValueError:
wordloom raises its internal-failure exception for it, which is not even an
Exception."""
import wordloom


def encode(tokenizer: wordloom.BpeTokenizer, text: str) -> wordloom.Encoder:
    try:
        return tokenizer.encode(text)
    except BaseException as error:
        # That exception's type is not importable from the module.
        if type(error).__name__ != "PanicException":
            raise
        raise ValueError(f"{error}: the model never saw it in training") from None
