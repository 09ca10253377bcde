"""Tools around the wordloom tokenizer: the `wordloom` command line and its
helpers. The tokenizer itself is the extension module `wordloom`."""


def __getattr__(name):
    # WordCounts lives in the native companion module, loaded on first use.
    if name == "WordCounts":
        from wordloom_tools._native import WordCounts
        return WordCounts
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
