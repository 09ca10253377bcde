"""Hand-over to Hugging Face transformers (the `transformers` extra):
WordloomTokenizer is a transformers tokenizer that loads a wordloom model
directory and gives exactly wordloom's ids.

    tokenizer = WordloomTokenizer.from_pretrained("model")  # a directory written by wordloom
    batch = tokenizer(texts, padding=True, truncation=True, max_length=128, return_tensors="np")
    tokenizer.save_pretrained("hf-model")
    AutoTokenizer.from_pretrained("hf-model")  # once this module is imported

The tokenizer's files are wordloom's five model files beside transformers'
own; as one of them is config.json, keep a model's weights and configuration
in another directory. The vocabulary is fixed: text is always split the way
wordloom splits it. A model without a token "<pad>" gets one added after its
own tokens for padding; such added tokens decode to nothing."""
from pathlib import Path
from typing import Any

from transformers import AutoConfig, AutoTokenizer, PretrainedConfig, PreTrainedTokenizer

from wordloom_tools import model_files
from wordloom_tools.encoding import encode

MODEL_TYPE = "wordloom"


class WordloomTokenizer(PreTrainedTokenizer):  # type: ignore[misc]  # mypy skips transformers (pyproject.toml)
    # The keyword under which transformers passes each model file to __init__.
    vocab_files_names = {f"{Path(name).stem}_file": name for name in model_files.MODEL_FILES}
    model_input_names = ["input_ids", "attention_mask"]

    def __init__(self, token_table_file: str, pad_token: str = "<pad>", **kwargs: Any) -> None:
        """Loads the model in the directory of `token_table_file`, where the
        other four model files lie too."""
        self.model_directory = Path(token_table_file).parent
        self.wordloom = model_files.load(self.model_directory)
        self._tokens = model_files.vocabulary(self.wordloom)
        self._ids = {token: token_id for token_id, token in enumerate(self._tokens)}
        kwargs.setdefault("clean_up_tokenization_spaces", False)
        super().__init__(pad_token=pad_token, **kwargs)

    @property
    def vocab_size(self) -> int:
        return len(self._tokens)

    def get_vocab(self) -> dict[str, int]:
        return {**self._ids, **self.added_tokens_encoder}

    def tokenize(self, text: str, **kwargs: Any) -> list[str]:
        """wordloom's tokens for `text`, special tokens included: transformers'
        own splitting at added tokens is left out, so the ids are wordloom's."""
        return self._tokenize(text)

    def _tokenize(self, text: str, **kwargs: Any) -> list[str]:
        return encode(self.wordloom, text).tokens

    def _convert_token_to_id(self, token: str) -> int:
        try:
            return self._ids[token]
        except KeyError:
            raise KeyError(f"{token!r} is not a token of the model in {self.model_directory}") from None

    def _convert_id_to_token(self, index: int) -> str:
        return self._tokens[index]

    def convert_tokens_to_string(self, tokens: list[str]) -> str:
        return self.wordloom.decode([self._ids[token] for token in tokens if token in self._ids])

    def _decode(self, token_ids: int | list[int], skip_special_tokens: bool = False, **kwargs: Any) -> str:
        ids = [token_ids] if isinstance(token_ids, int) else [int(token_id) for token_id in token_ids]
        if skip_special_tokens:
            special = set(self.all_special_ids)
            ids = [token_id for token_id in ids if token_id not in special]
        return self.wordloom.decode(ids)

    def save_vocabulary(self, save_directory: str, filename_prefix: str | None = None) -> tuple[str, ...]:
        """Writes the five model files into `save_directory` under their own
        names (wordloom's loader knows no others, so `filename_prefix` is not
        used)."""
        self.wordloom.save_pretrained(save_directory)
        return tuple(str(Path(save_directory) / name) for name in model_files.MODEL_FILES)


class WordloomConfig(PretrainedConfig):  # type: ignore[misc]
    """The configuration that AutoTokenizer maps to WordloomTokenizer."""
    model_type = MODEL_TYPE


AutoConfig.register(MODEL_TYPE, WordloomConfig, exist_ok=True)
AutoTokenizer.register(WordloomConfig, slow_tokenizer_class=WordloomTokenizer, exist_ok=True)
