"""to_bytes/from_bytes, pickle (also into spawned workers), copy and
deepcopy give a tokenizer that behaves exactly like the original."""
import copy
import multiprocessing
import operator
import pickle

import pytest

from conftest import CORPUS, after_training, vocabulary
from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

TEXTS = ["low lower <s> lowest", "new newer\nnewest", "", "wide  wider widest </s>"]


def make_untrained(corpus, output_dir=None):
    return BpeTokenizer(corpus, 35, PreTokenization.punctuation(), ["<s>", "</s>"],
                        SpecialTokenRemovalMethod.aho_corasick(), output_dir is not None, output_dir)


def behaviour(tokenizer):
    """Everything a tokenizer shows, settings included (to_bytes holds them all)."""
    if tokenizer.get_vocab_size() == 0:
        return repr(tokenizer), tokenizer.to_bytes()
    encodings = [tokenizer.encode(text) for text in TEXTS]
    return (repr(tokenizer), tokenizer.to_bytes(), vocabulary(tokenizer),
            [(e.tokens, e.ids, [int(t) for t in e.token_types]) for e in encodings],
            [tokenizer.decode(e.ids) for e in encodings], tokenizer.encode_batch(TEXTS))


COPIES = {
    "bytes": lambda t: BpeTokenizer.from_bytes(t.to_bytes()),
    "bytearray": lambda t: BpeTokenizer.from_bytes(data=bytearray(t.to_bytes())),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    **{f"pickle{protocol}": lambda t, p=protocol: pickle.loads(pickle.dumps(t, protocol=p))
       for protocol in (0, pickle.HIGHEST_PROTOCOL)},
}


@pytest.mark.parametrize("make_copy", COPIES.values(), ids=COPIES.keys())
class TestCopies:
    def test_a_trained_or_loaded_copy_behaves_identically(self, corpus, tmp_path, make_copy):
        trained = after_training(make_untrained(corpus))
        trained.save_pretrained(str(tmp_path / "model"))
        loaded = BpeTokenizer.load(str(tmp_path / "model"))
        assert behaviour(loaded)[2:] == behaviour(trained)[2:]
        for original in (trained, loaded):
            duplicate = make_copy(original)
            assert duplicate is not original and behaviour(duplicate) == behaviour(original)
            with pytest.raises(RuntimeError, match="^Cannot train a pretrained model$"):
                duplicate.train()

    def test_an_untrained_copy_keeps_its_settings_and_trains_alike(self, corpus, tmp_path, make_copy):
        original = make_untrained(corpus, str(tmp_path / "saved"))
        duplicate = make_copy(original)
        assert behaviour(duplicate) == behaviour(original)
        duplicate.train()
        assert (tmp_path / "saved" / "config.json").is_file()  # save_model and output_dir came along
        original.train()  # still untrained: the copy shares nothing that training changes
        assert behaviour(duplicate) == behaviour(original)


class TestBytes:
    def test_equal_tokenizers_give_equal_bytes(self, corpus):
        first, second = (after_training(make_untrained(corpus)) for _ in range(2))
        assert type(first.to_bytes()) is bytes and first.to_bytes() == second.to_bytes()

    def test_damaged_bytes_raise_value_error(self, trained):
        data = trained.to_bytes()
        huge_count = data[:14] + b"\xff" * 8 + data[22:]  # the number of special tokens
        for damaged in [b"", b"junk", data[:-1], data + b"\0", huge_count,
                        BpeTokenizer("c", 1, PreTokenization.whitespace()).to_bytes()[:-1]]:
            with pytest.raises(ValueError, match="wordloom (tokenizer|model) state"):
                BpeTokenizer.from_bytes(damaged)

    def test_only_bytes_like_data_is_accepted(self):
        with pytest.raises(TypeError, match="^argument 'data': a bytes-like object is required, not 'str'$"):
            BpeTokenizer.from_bytes("WLT")
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'data'"):
            BpeTokenizer.from_bytes()


def test_pickled_tokenizers_encode_alike_in_spawned_workers(trained):
    texts = [CORPUS, "low new wide", ""] * 20
    expected = trained.encode_batch(texts)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map(operator.methodcaller("encode_batch", texts, 2), [trained, copy.copy(trained)])
    assert results == [expected, expected]
