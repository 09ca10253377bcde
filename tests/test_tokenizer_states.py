"""A BpeTokenizer untrained and trained, and the Encoder that encode returns,
seen from Python."""
import pytest

from conftest import vocabulary

from wordloom import Encoder, TokenType

TEXT = "  lower\tnewest  wide "


def error_of(call):
    with pytest.raises(BaseException) as raised:
        call()
    return type(raised.value), str(raised.value)


@pytest.mark.parametrize("call, message", [
    (lambda t: t.encode(""), "Cannot encode text without training the tokenizer"),
    (lambda t: t.decode([]), "Cannot decode text without training the tokenizer"),
    (lambda t: t.get_token_by_id(70000), "the token for id 70000 does not exist"),
    (lambda t: t.get_id_by_token("</w>"), "the id for token </w> does not exist"),
])
def test_untrained_tokenizer_refuses_and_stays_usable(untrained, call, message):
    assert error_of(lambda: call(untrained)) == (RuntimeError, message)
    assert repr(untrained) == str(untrained) == "BpeTokenizer(vocab_size=0)"


class TestTrained:
    def test_repr_lookups_and_second_training(self, trained):
        tokens = vocabulary(trained)
        assert repr(trained) == f"BpeTokenizer(vocab_size={len(tokens)})"
        assert [trained.get_id_by_token(token) for token in tokens] == list(range(len(tokens)))
        assert error_of(trained.train) == (RuntimeError, "Cannot train a pretrained model")
        assert repr(trained) == f"BpeTokenizer(vocab_size={len(tokens)})"

    def test_encoder_fields_describe_each_token_in_order(self, trained):
        encoded = trained.encode(TEXT)
        assert type(encoded) is Encoder and encoded.original_text == TEXT
        assert [trained.get_token_by_id(i) for i in encoded.ids] == encoded.tokens
        assert len(encoded.token_types) == len(encoded.tokens) > 0
        assert all(type(t) is TokenType and t is not TokenType.WORD for t in encoded.token_types)
        assert trained.decode(encoded.ids + [4294967295]) == "lower newest wide "

    def test_encoder_getters_hand_out_fresh_read_only_copies(self, trained):
        encoded = trained.encode(TEXT)
        tokens = encoded.tokens
        tokens.append("x")
        assert encoded.tokens == tokens[:-1] and encoded.tokens is not encoded.tokens
        assert encoded.token_types[0] is not encoded.token_types[0]
        for name in ["original_text", "tokens", "ids", "token_types"]:
            with pytest.raises(AttributeError):
                setattr(encoded, name, [])

    def test_get_token_type(self, trained):
        encoded = trained.encode(TEXT)
        for token, token_type in zip(encoded.tokens, encoded.token_types):
            assert encoded.get_token_type(token) == token_type
            assert encoded.get_token_type(token=token) == int(token_type)
        assert error_of(lambda: encoded.get_token_type("q")) == (RuntimeError, "the token q does not exists")
        assert error_of(lambda: encoded.get_token_type(5)) == (
            TypeError, "argument 'token': 'int' object cannot be converted to 'PyString'")
        assert error_of(encoded.get_token_type) == (
            TypeError, "Encoder.get_token_type() missing 1 required positional argument: 'token'")
