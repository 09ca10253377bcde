"""WordloomTokenizer, the hand-over to Hugging Face transformers: batches,
saving and AutoTokenizer all give exactly wordloom's ids."""
import json
import os

import pytest

os.environ["HF_HUB_OFFLINE"] = "1"  # read when transformers is imported: everything here is local
transformers = pytest.importorskip(
    "transformers", reason="transformers is not installed (requirements-dev.txt and the `transformers` extra list it)")
np = pytest.importorskip("numpy", reason="numpy is not installed (transformers returns arrays with it)")

import wordloom  # noqa: E402
from wordloom_tools import model_files  # noqa: E402
from wordloom_tools.transformers import WordloomTokenizer  # noqa: E402

CORPUS = "low lower lowest newer newest wide wider widest <s> <pad> a b c d e f g h i j k l m n o p q r s t u v w x y z\n" * 5
# "<pad>" is text to a model without that special token, as transformers' padding token is not wordloom's.
TEXTS = ["lower newest", "wide <s>widest low  low\tlow", "z <pad>z", ""]


@pytest.fixture(scope="module")
def train_model(tmp_path_factory):
    def train(special_tokens):
        directory = tmp_path_factory.mktemp("model")
        corpus = directory / "corpus.txt"
        corpus.write_text(CORPUS, encoding="utf-8")
        tokenizer = wordloom.BpeTokenizer(str(corpus), 60, wordloom.PreTokenization.whitespace(), special_tokens)
        tokenizer.train()
        tokenizer.save_pretrained(directory / "model")
        return directory / "model"
    return train


@pytest.fixture(scope="module")
def model(train_model):
    return train_model(["<s>"])


def copy_of(model, directory):
    for name in model_files.MODEL_FILES:
        (directory / name).write_bytes((model / name).read_bytes())
    return str(directory)


def wordloom_ids(model, texts):
    tokenizer = wordloom.BpeTokenizer.from_pretrained(str(model))
    return [tokenizer.encode(text).ids for text in texts]


class TestBatches:
    def test_padded_and_truncated_arrays_hold_wordloom_ids(self, model):
        tokenizer = WordloomTokenizer.from_pretrained(str(model))
        batch = tokenizer(TEXTS, padding=True, truncation=True, max_length=6, return_tensors="np")
        expected = [ids[:6] for ids in wordloom_ids(model, TEXTS)]
        width = max(map(len, expected))
        assert isinstance(batch["input_ids"], np.ndarray) and batch["input_ids"].shape == (len(TEXTS), width)
        assert batch["input_ids"].tolist() == [ids + [tokenizer.pad_token_id] * (width - len(ids)) for ids in expected]
        assert batch["attention_mask"].tolist() == [[1] * len(ids) + [0] * (width - len(ids)) for ids in expected]

    def test_a_model_without_a_padding_token_gets_one_after_its_own(self, model):
        tokenizer = WordloomTokenizer.from_pretrained(str(model))
        vocabulary = model_files.vocabulary(wordloom.BpeTokenizer.from_pretrained(str(model)))
        assert tokenizer.vocab_size == len(vocabulary) and tokenizer.pad_token_id == len(vocabulary)
        assert tokenizer.get_vocab() == {**{token: i for i, token in enumerate(vocabulary)}, "<pad>": len(vocabulary)}

    def test_a_special_token_of_the_model_can_pad(self, train_model):
        model = train_model(["<s>", "<pad>"])
        tokenizer = WordloomTokenizer.from_pretrained(str(model))
        assert tokenizer.pad_token_id == wordloom.BpeTokenizer.from_pretrained(str(model)).get_id_by_token("<pad>")
        assert len(tokenizer) == tokenizer.vocab_size
        assert tokenizer(TEXTS)["input_ids"] == wordloom_ids(model, TEXTS)

    def test_decoding_is_wordloom_decoding(self, model):
        tokenizer = WordloomTokenizer.from_pretrained(str(model))
        [ids] = tokenizer(["wide <s>widest low"], padding="max_length", max_length=12)["input_ids"]
        decoded = wordloom.BpeTokenizer.from_pretrained(str(model)).decode(ids)
        assert decoded == "wide <s> widest low "
        assert tokenizer.decode(ids) == decoded == tokenizer.decode(ids, skip_special_tokens=True)
        assert tokenizer.convert_tokens_to_string(tokenizer.convert_ids_to_tokens(ids)) == decoded


class TestSaving:
    def test_auto_tokenizer_loads_a_saved_tokenizer(self, model, tmp_path):
        WordloomTokenizer.from_pretrained(str(model), model_max_length=64).save_pretrained(str(tmp_path))
        for name in model_files.MODEL_FILES:  # the same tables; maps may list their keys in another order
            assert json.loads((tmp_path / name).read_bytes()) == json.loads((model / name).read_bytes())
        loaded = transformers.AutoTokenizer.from_pretrained(str(tmp_path))
        assert type(loaded) is WordloomTokenizer and loaded.model_max_length == 64
        assert loaded(TEXTS)["input_ids"] == wordloom_ids(model, TEXTS)

    def test_saving_into_its_own_directory(self, model, tmp_path):
        WordloomTokenizer.from_pretrained(copy_of(model, tmp_path)).save_pretrained(str(tmp_path))
        assert WordloomTokenizer.from_pretrained(str(tmp_path))(TEXTS)["input_ids"] == wordloom_ids(model, TEXTS)


def test_failures_are_value_errors_not_the_end_of_the_process(model, tmp_path):
    with pytest.raises(ValueError, match="the model never saw it in training"):
        WordloomTokenizer.from_pretrained(str(model))("low €")
    copy_of(model, tmp_path)
    (tmp_path / "merge_rules.json").write_text("[[1, 2]", encoding="utf-8")
    with pytest.raises(ValueError, match=f"cannot read {tmp_path / 'merge_rules.json'}: not valid JSON"):
        WordloomTokenizer.from_pretrained(str(tmp_path))
