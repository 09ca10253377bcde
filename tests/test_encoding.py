"""Encoding and decoding through the public surface."""
import pytest

from conftest import write_model_files
from wordloom import BpeTokenizer, TokenType

WORD, SUBWORD, SPECIAL = TokenType.WORD, TokenType.SUBWORD, TokenType.SPECIALTOKEN


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


def encoded(tokenizer, text):
    result = tokenizer.encode(text)
    return result.tokens, result.ids, result.token_types


class TestWorkedExample:
    def test_merges_by_rank_and_types_by_the_words_of_the_text(self, abba):
        assert encoded(abba, "ab ba") == (["ab</w>", "b", "a", "</w>"], [4, 1, 0, 2], [WORD, SUBWORD, SUBWORD, SPECIAL])
        assert abba.decode([4, 1, 0, 2]) == "ab ba "

    def test_a_token_is_a_word_when_any_word_of_the_text_matches(self, abba):
        # The b</w> closing "bb" counts as a word because "b" is a word of the text.
        tokens, _, types = encoded(abba, "bb b")
        assert tokens == ["b", "b</w>", "b</w>"] and types == [SUBWORD, WORD, WORD]

    def test_the_closing_piece_of_a_longer_word_is_a_subword(self, abba):
        # ab</w> and b</w> end the words "aab" and "bb" but are not words of the text themselves.
        tokens, _, types = encoded(abba, "aab bb")
        assert tokens == ["a", "ab</w>", "b", "b</w>"] and types == [SUBWORD] * 4

    def test_encoding_twice_gives_the_same_result(self, abba):
        assert encoded(abba, "ab ba ab") == encoded(abba, "ab ba ab")

    @pytest.mark.parametrize("text", ["", " \t\n\u3000 "])
    def test_empty_and_blank_texts(self, abba, text):
        result = abba.encode(text)
        assert (result.original_text, result.tokens, result.ids, result.token_types) == (text, [], [], [])


class TestSpecialTokens:
    def test_at_the_start_the_end_and_adjacent(self, with_specials):
        tokens, ids, types = encoded(with_specials, "<s>c<s><s>")
        assert tokens == ["<s>", "c</w>", "<s>", "<s>"] and ids == [0, 8, 0, 0]
        assert types == [SPECIAL, WORD, SPECIAL, SPECIAL]

    def test_list_order_wins_over_length_and_splits_words(self, with_specials):
        # "ab" is listed before "abc", so "abc" yields ab and the word c.
        assert encoded(with_specials, "abc")[0] == ["ab", "c</w>"]
        assert encoded(with_specials, "cabc")[0] == ["c</w>", "ab", "c</w>"]

    def test_a_found_token_without_an_id_is_left_out(self, with_specials):
        assert encoded(with_specials, "c<missing>c")[0] == ["c</w>", "c</w>"]

    def test_multibyte_characters_around_tokens(self, with_specials):
        result = with_specials.encode("é<s>éc")
        assert result.tokens == ["é", "</w>", "<s>", "é", "c</w>"]
        assert result.original_text == "é<s>éc"

    def test_special_tokens_decode_with_a_space_after_them(self, with_specials):
        assert with_specials.decode(with_specials.encode("c<s>c").ids) == "c <s> c "

    def test_empty_special_token_does_not_hang(self, tmp_path):
        tokenizer = load(tmp_path, ["a", "</w>", "<s>"], special_tokens=["", "<s>"])
        assert encoded(tokenizer, "a<s>a")[0] == ["a", "</w>", "<s>", "a", "</w>"]


class TestFailures:
    def test_a_character_without_a_token_raises_panic_and_leaves_the_tokenizer_usable(self, abba):
        with pytest.raises(BaseException) as raised:
            abba.encode("ab zq")
        assert type(raised.value).__name__ == "PanicException"
        assert "'z'" in str(raised.value) and "U+007A" in str(raised.value)
        assert encoded(abba, "ab")[0] == ["ab</w>"]

    def test_a_vocabulary_without_the_marker_raises_panic(self, tmp_path):
        tokenizer = load(tmp_path, ["a"])
        with pytest.raises(BaseException) as raised:
            tokenizer.encode("a")
        assert type(raised.value).__name__ == "PanicException"


class TestDecoding:
    def test_decode_rules(self, abba):
        assert abba.decode([]) == ""
        assert abba.decode([99, 1000]) == ""
        assert abba.decode([2]) == " "
        assert abba.decode([5, 0, 3]) == "abab "  # sub-word pieces join without a space
        assert abba.decode([5, 99, 3, 2]) == "abb  "

    def test_marker_text_inside_tokens_is_removed(self, tmp_path):
        tokenizer = load(tmp_path, ["x</w>y", "</</w>w>", "</w>"])
        assert tokenizer.decode([0]) == "xy"
        # One pass: the marker formed by the removal stays.
        assert tokenizer.decode([1]) == "</w>"

    def test_lookups(self, abba):
        assert abba.get_id_by_token("ab</w>") == 4 and abba.get_token_by_id(4) == "ab</w>"
        with pytest.raises(RuntimeError, match="^the id for token ba does not exist$"):
            abba.get_id_by_token("ba")
        with pytest.raises(RuntimeError, match="^the token for id 6 does not exist$"):
            abba.get_token_by_id(6)
