"""Tools around the wordloom tokenizer: the `wordloom` command line, pickling
support and integrations. The tokenizer itself is the extension module
`wordloom`."""
