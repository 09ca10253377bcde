"""The three tokenizers the benchmarks compare, behind one small interface:
train a BPE model on a corpus file, load it, encode a text, decode ids.

wordloom and Hugging Face `tokenizers` split at white space and mark word ends
with "</w>"; sentencepiece runs in its BPE mode with SENTENCEPIECE_OPTIONS."""
import os
from pathlib import Path

from silence import silenced

SYSTEMS = ("wordloom", "tokenizers", "sentencepiece")
SENTENCEPIECE_OPTIONS = {"model_type": "bpe", "character_coverage": 1.0, "max_sentence_length": 1 << 16,
                         "hard_vocab_limit": False, "num_threads": os.cpu_count(), "minloglevel": 2}


def train(system, corpus, vocab_size, model_dir):
    """Trains `system` on `corpus` and saves its model under `model_dir`;
    returns the model's path."""
    model_dir = Path(model_dir)
    model_dir.mkdir(parents=True, exist_ok=True)
    if system == "wordloom":
        import wordloom

        # The specified training, as users call it; its timing lines go nowhere.
        tokenizer = wordloom.BpeTokenizer(str(corpus), vocab_size, wordloom.PreTokenization.whitespace(),
                                          save_model=True, output_dir=str(model_dir))
        with silenced(1):
            tokenizer.train()
        return model_dir
    if system == "tokenizers":
        from tokenizers import Tokenizer, models, pre_tokenizers, trainers

        tokenizer = Tokenizer(models.BPE(end_of_word_suffix="</w>"))
        tokenizer.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
        trainer = trainers.BpeTrainer(vocab_size=vocab_size, end_of_word_suffix="</w>", show_progress=False)
        tokenizer.train([str(corpus)], trainer)
        path = model_dir / "tokenizer.json"
        tokenizer.save(str(path))
        return path
    if system == "sentencepiece":
        import sentencepiece

        prefix = model_dir / "spm"
        with silenced(1):
            sentencepiece.SentencePieceTrainer.train(input=str(corpus), model_prefix=str(prefix),
                                                     vocab_size=vocab_size, **SENTENCEPIECE_OPTIONS)
        return prefix.with_suffix(".model")
    raise ValueError(f"unknown system {system!r}")


class Loaded:
    """A trained model of one system, ready to encode and decode."""

    def __init__(self, system, model_path):
        self.system = system
        if system == "wordloom":
            import wordloom

            self._model = wordloom.BpeTokenizer.from_pretrained(str(model_path))
        elif system == "tokenizers":
            from tokenizers import Tokenizer

            self._model = Tokenizer.from_file(str(model_path))
        else:
            import sentencepiece

            self._model = sentencepiece.SentencePieceProcessor(model_file=str(model_path))

    def encode(self, text):
        """The token ids of `text`, as one call on the whole text."""
        if self.system == "sentencepiece":
            return self._model.encode(text)
        return self._model.encode(text).ids

    def decode(self, ids):
        return self._model.decode(ids)
