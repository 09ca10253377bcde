"""Arguments that fight the call: conversion hooks that drop the caller's
references or change what is read, lengths that overstate a sequence, and
texts holding NUL or lone surrogates."""
import gc

import pytest

from conftest import Index, after_training, vocabulary, write_model_files
from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

KEPT = []  # objects made to take the place of freed ones, kept until the test ends


@pytest.fixture(autouse=True)
def release_kept():
    yield
    KEPT.clear()


def fresh_special_token():
    """A special token made anew, large enough that freeing it returns its
    memory to malloc, where the sanitizer watches it."""
    return "".join(["<", "special" * 100, ">"])


def drop_call_keywords(hostile):
    """Empties the keyword dict of the call under way (the dict holding
    `hostile`), then allocates texts of the same sizes over what it freed."""
    for referrer in gc.get_referrers(hostile):
        if isinstance(referrer, dict) and "input_path" in referrer:
            lengths = [len(value) for value in referrer.values() if isinstance(value, str)]
            referrer.clear()
            KEPT.extend(" " * length for length in lengths)
    KEPT.extend(" " * len(fresh_special_token()) for _ in range(10))


class DropsWhenIndexed:
    def __index__(self):
        drop_call_keywords(self)
        return 30


class SpecialTokens:
    """A sequence of one special token, iterated through __getitem__."""

    def __init__(self):
        self.items = [fresh_special_token()]

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class DropsWhenMeasured(SpecialTokens):
    def __len__(self):
        drop_call_keywords(self)
        return super().__len__()


class DropsWhenIterated(SpecialTokens):
    def __iter__(self):
        drop_call_keywords(self)
        return iter(self.items)


class DropsWhenItemRead(SpecialTokens):
    def __getitem__(self, index):
        drop_call_keywords(self)
        return super().__getitem__(index)


def construct_from_keywords(corpus, name, make_hostile):
    """A tokenizer made from a keyword dict that only the call refers to."""
    return BpeTokenizer(**{
        # Leading slashes read as one; the length puts the text out of the small-object pools.
        "input_path": "".join(["/" * 600, corpus]),
        "target_vocab_size": 30,
        "pretokenization_type": PreTokenization.whitespace(),
        "special_tokens": [fresh_special_token()],
        "special_token_removal_method": SpecialTokenRemovalMethod.aho_corasick(),
        "output_dir": "".join(["/" * 600, "unused"]),
        name: make_hostile(),
    })


class TestArgumentsOutliveTheCallersReferences:
    @pytest.mark.parametrize("name, make_hostile", [
        ("target_vocab_size", DropsWhenIndexed),
        ("special_tokens", DropsWhenMeasured),
        ("special_tokens", DropsWhenIterated),
        ("special_tokens", DropsWhenItemRead),
    ])
    def test_constructor_reads_every_argument_whole(self, corpus, name, make_hostile):
        made = after_training(construct_from_keywords(corpus, name, make_hostile))
        expected = after_training(BpeTokenizer(corpus, 30, PreTokenization.whitespace(), [fresh_special_token()],
                                              SpecialTokenRemovalMethod.aho_corasick()))
        assert vocabulary(made) == vocabulary(expected)
        assert made.get_token_by_id(0) == fresh_special_token()

    def test_decode_reads_an_id_list_changed_by_an_item(self, trained):
        class ReplacesTheRest:
            def __index__(self):
                ids[1:] = [Index(2)]
                return 1

        ids = [ReplacesTheRest(), *(Index(0) for _ in range(100))]
        assert trained.decode(ids) == trained.decode([1, 2])


def test_str_subclasses_are_read_as_their_text(trained):
    # The text is read from the object itself: none of these methods is called.
    class Lying(str):
        def __str__(self):
            return "lies"

        def __len__(self):
            return 0

        def __iter__(self):
            return iter("lies")

        def encode(self, *args, **kwargs):
            return b"lies"

    assert trained.encode(Lying("low lower")).tokens == trained.encode("low lower").tokens
    assert trained.get_id_by_token(Lying("low</w>")) == trained.get_id_by_token("low</w>")


class ClaimsToBeHuge(list):
    """A list whose __len__ claims far more than iteration yields."""

    def __len__(self):
        return 2**40


class TestLengthsAreOnlyHints:
    def test_decode(self, trained):
        assert trained.decode(ClaimsToBeHuge([0, 1, 2])) == trained.decode([0, 1, 2])

    def test_special_tokens(self, corpus):
        tokens = ClaimsToBeHuge(["<a>", "<b>", "<c>"])
        tokenizer = after_training(BpeTokenizer(corpus, 30, PreTokenization.whitespace(), tokens))
        assert [tokenizer.get_token_by_id(i) for i in range(3)] == ["<a>", "<b>", "<c>"]


def test_paths_with_nul_are_refused_as_open_refuses_them_not_cut_short(corpus, tmp_path):
    model = write_model_files(tmp_path / "model", ["a", "</w>"])
    for call in [lambda: BpeTokenizer(corpus + "\0.no.such.file", 30, PreTokenization.whitespace()),
                 lambda: BpeTokenizer(corpus, 30, PreTokenization.whitespace(), save_model=True,
                                      output_dir=str(tmp_path / "model\0.no.such.dir")),
                 lambda: BpeTokenizer.from_pretrained(model + "\0x")]:
        with pytest.raises(ValueError) as raised:
            call()
        assert type(raised.value) is ValueError and str(raised.value) == "embedded null byte"


class TestErrorTextsQuoteWholeTexts:
    @pytest.mark.parametrize("name", ["x\0y", "x\udcff"])
    def test_unknown_keywords(self, untrained, name):
        for call, full_name in [(lambda: untrained.encode(**{name: "a"}), "BpeTokenizer.encode()"),
                                (lambda: BpeTokenizer(**{name: 1}), "BpeTokenizer.__new__()")]:
            with pytest.raises(TypeError) as raised:
                call()
            assert str(raised.value) == f"{full_name} got an unexpected keyword argument '{name}'"

    def test_core_errors(self, trained):
        with pytest.raises(RuntimeError) as raised:
            trained.get_id_by_token("x\0y")
        assert raised.value.args == ("the id for token x\0y does not exist",)
        with pytest.raises(RuntimeError) as raised:
            trained.encode("low").get_token_type("x\0y")
        assert raised.value.args == ("the token x\0y does not exists",)

    def test_type_names(self, untrained):
        class Named:
            pass

        Named.__qualname__ = "Na\0med"
        with pytest.raises(TypeError) as raised:
            untrained.encode(Named())
        assert str(raised.value) == "argument 'text': 'Na\0med' object cannot be converted to 'PyString'"

    def test_internal_failures(self, trained):
        def failure_message(text):
            with pytest.raises(BaseException) as raised:
                trained.encode(text)
            assert type(raised.value).__name__ == "PanicException"
            [message] = raised.value.args
            return message

        # Neither character is in the vocabulary; the NUL must not end the message.
        assert failure_message("lo\0w") == failure_message("lo\x01w").replace("\x01", "\0").replace("U+0001", "U+0000")
