"""Tools around the wordloom tokenizer: the `wordloom` command line and its
helpers. The tokenizer itself is the extension module `wordloom`."""
