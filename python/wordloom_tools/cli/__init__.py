"""The `wordloom` command: train, inspect and use byte-pair-encoding models
from the shell."""
