"""The hand-over of a trained model from wordloom_tools._native to the
wordloom module."""
import tempfile

import wordloom

from wordloom_tools import _native


def _tokenizer_from_model_state(state):
    """A wordloom.BpeTokenizer holding the model of `state`, the compact bytes
    of a model: written as a model directory and loaded from there."""
    with tempfile.TemporaryDirectory(prefix="wordloom-model-") as directory:
        _native._save_model_state(state, directory)
        return wordloom.BpeTokenizer.from_pretrained(directory)
