"""Python companions of the wordloom extension module."""
