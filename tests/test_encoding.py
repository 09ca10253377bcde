"""Encoding, decoding and lookups through the public surface, untrained and
trained, and the Encoder that encode returns."""
import json
import re

import pytest

from conftest import run_python, write_model_files
from wordloom import BpeTokenizer, Encoder, TokenType

WORD, SUBWORD, SPECIAL = TokenType.WORD, TokenType.SUBWORD, TokenType.SPECIALTOKEN

PANIC_CHILD = """
import json, sys, wordloom

def internal_failure():
    try:
        wordloom.BpeTokenizer.from_pretrained(files_path=sys.argv[1]).encode("a b")
    except BaseException as error:
        return error

first, second = internal_failure(), internal_failure()
print(json.dumps({
    "type": type(first).__name__,
    "bases": [base.__name__ for base in type(first).__bases__],
    "args": list(first.args),
    "made_once": type(first) is type(second),
    "module_attribute": hasattr(wordloom, type(first).__name__),
    "still_usable": repr(wordloom.BpeTokenizer("c", 1, wordloom.PreTokenization.whitespace())),
}))
"""


def load(tmp_path, id_to_token, merges=(), **options):
    return BpeTokenizer.from_pretrained(write_model_files(tmp_path / "model", id_to_token, merges, **options))


@pytest.fixture
def abba(tmp_path):
    """a=0 b=1 </w>=2 b</w>=3 ab</w>=4 ab=5, ranks (1,2) < (0,3) < (0,1)."""
    return load(tmp_path, ["a", "b", "</w>", "b</w>", "ab</w>", "ab"], [(1, 2, 3), (0, 3, 4), (0, 1, 5)])


@pytest.fixture
def with_specials(tmp_path):
    return load(tmp_path, ["<s>", "ab", "abc", "a", "b", "c", "é", "</w>", "c</w>"], [(5, 7, 8)],
                special_tokens=["<s>", "ab", "abc", "<missing>"])


def check_encoding(tokenizer, text, tokens, types=None):
    result = tokenizer.encode(text)
    assert (result.original_text, result.tokens) == (text, tokens)
    assert result.ids == [tokenizer.get_id_by_token(token) for token in tokens]
    if types is not None:
        assert result.token_types == types


def error_of(call):
    with pytest.raises(BaseException) as raised:
        call()
    return type(raised.value), str(raised.value)


@pytest.mark.parametrize("text, tokens, types", [
    ("ab ba", ["ab</w>", "b", "a", "</w>"], [WORD, SUBWORD, SUBWORD, SPECIAL]),
    # The b</w> closing "bb" is a word because "b" is a word of the text.
    ("bb b", ["b", "b</w>", "b</w>"], [SUBWORD, WORD, WORD]),
    # ab</w> and b</w> end "aab" and "bb" but are not words of the text themselves.
    ("aab bb", ["a", "ab</w>", "b", "b</w>"], [SUBWORD] * 4),
    ("", [], []),
    (" \t\n\u3000 ", [], []),
])
def test_merges_by_rank_and_types_by_the_words_of_the_text(abba, text, tokens, types):
    check_encoding(abba, text, tokens, types)


class TestSpecialTokens:
    @pytest.mark.parametrize("text, tokens, types", [
        ("<s>c<s><s>", ["<s>", "c</w>", "<s>", "<s>"], [SPECIAL, WORD, SPECIAL, SPECIAL]),
        ("abc", ["ab", "c</w>"], None),  # "ab" is listed before "abc"
        ("cabc", ["c</w>", "ab", "c</w>"], None),
        ("c<missing>c", ["c</w>", "c</w>"], None),  # found, but without an id: left out
        ("é<s>éc", ["é", "</w>", "<s>", "é", "c</w>"], None),
    ])
    def test_list_order_wins_and_tokens_split_words(self, with_specials, text, tokens, types):
        check_encoding(with_specials, text, tokens, types)

    def test_special_tokens_decode_with_a_space_after_them(self, with_specials):
        assert with_specials.decode(with_specials.encode("c<s>c").ids) == "c <s> c "

    def test_empty_special_token_does_not_hang(self, tmp_path):
        check_encoding(load(tmp_path, ["a", "</w>", "<s>"], special_tokens=["", "<s>"]), "a<s>a",
                       ["a", "</w>", "<s>", "a", "</w>"])


class TestFailures:
    def test_a_character_without_a_token_raises_panic_and_leaves_the_tokenizer_usable(self, abba):
        error_type, message = error_of(lambda: abba.encode("ab zq"))
        assert error_type.__name__ == "PanicException" and "'z'" in message and "U+007A" in message
        check_encoding(abba, "ab", ["ab</w>"])

    def test_panic_exception_derives_from_base_exception_and_names_the_place(self, tmp_path):
        # Without the end-of-word marker no text can be encoded; run in a child,
        # as the loader may end the process.
        model = write_model_files(tmp_path / "model", ["a", "b"])
        child = run_python(PANIC_CHILD, model)
        assert child.returncode == 0, child.stderr
        report = json.loads(child.stdout.splitlines()[-1])
        assert report == {"type": "PanicException", "bases": ["BaseException"], "args": report["args"],
                          "made_once": True, "module_attribute": False, "still_usable": "BpeTokenizer(vocab_size=0)"}
        [message] = report["args"]
        assert message and message in child.stderr
        assert re.search(r"\.[ch]pp:\d+", child.stderr), child.stderr


class TestDecoding:
    def test_decode_rules(self, abba):
        assert abba.decode([]) == ""
        assert abba.decode([4, 1, 0, 2]) == "ab ba "
        assert abba.decode([99, 1000, 2**32 - 1]) == ""
        assert abba.decode([2]) == " "
        assert abba.decode([5, 0, 3]) == "abab "  # sub-word pieces join without a space
        assert abba.decode([5, 99, 3, 2]) == "abb  "

    def test_marker_text_inside_tokens_is_removed(self, tmp_path):
        tokenizer = load(tmp_path, ["x</w>y", "</</w>w>", "</w>"])
        assert tokenizer.decode([0]) == "xy"
        # One pass: the marker formed by the removal stays.
        assert tokenizer.decode([1]) == "</w>"

    def test_lookups(self, abba):
        assert repr(abba) == "BpeTokenizer(vocab_size=6)"
        tokens = ["a", "b", "</w>", "b</w>", "ab</w>", "ab"]
        assert [abba.get_token_by_id(i) for i in range(6)] == tokens
        assert [abba.get_id_by_token(token) for token in tokens] == list(range(6))
        assert error_of(lambda: abba.get_id_by_token("ba")) == (RuntimeError, "the id for token ba does not exist")
        assert error_of(lambda: abba.get_token_by_id(6)) == (RuntimeError, "the token for id 6 does not exist")


def test_untrained_tokenizer_refuses_and_stays_usable(untrained):
    for call, message in [(lambda: untrained.encode(""), "Cannot encode text without training the tokenizer"),
                          (lambda: untrained.decode([]), "Cannot decode text without training the tokenizer"),
                          (lambda: untrained.get_token_by_id(70000), "the token for id 70000 does not exist"),
                          (lambda: untrained.get_id_by_token("</w>"), "the id for token </w> does not exist")]:
        assert error_of(call) == (RuntimeError, message)
    assert repr(untrained) == str(untrained) == "BpeTokenizer(vocab_size=0)"


class TestEncoder:
    def test_getters_hand_out_fresh_read_only_copies(self, abba):
        encoded = abba.encode("ab ba")
        assert type(encoded) is Encoder and encoded.original_text == "ab ba"
        tokens = encoded.tokens
        tokens.append("x")
        assert encoded.tokens == tokens[:-1] and encoded.tokens is not encoded.tokens
        assert all(type(t) is TokenType for t in encoded.token_types)
        assert encoded.token_types[0] is not encoded.token_types[0]
        for name in ["original_text", "tokens", "ids", "token_types"]:
            with pytest.raises(AttributeError):
                setattr(encoded, name, [])

    def test_get_token_type(self, abba):
        encoded = abba.encode("ab ba")
        for token, token_type in zip(encoded.tokens, encoded.token_types):
            assert encoded.get_token_type(token) == token_type
            assert encoded.get_token_type(token=token) == int(token_type)
        assert error_of(lambda: encoded.get_token_type("q")) == (RuntimeError, "the token q does not exists")
        assert error_of(lambda: encoded.get_token_type(5)) == (
            TypeError, "argument 'token': 'int' object cannot be converted to 'PyString'")
        assert error_of(encoded.get_token_type) == (
            TypeError, "Encoder.get_token_type() missing 1 required positional argument: 'token'")
