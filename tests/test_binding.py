"""Argument binding and conversion: every error text a call can raise before
it reaches the tokenizer, and the values each parameter accepts."""
import pytest

from conftest import Index, after_training
from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

WHITESPACE = PreTokenization.whitespace()
NEW = "BpeTokenizer.__new__()"


def raised_by(call):
    with pytest.raises(BaseException) as raised:
        call()
    return raised.value


class TestConstructorBinding:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, f"{NEW} missing 3 required positional arguments: "
                 "'input_path', 'target_vocab_size', and 'pretokenization_type'"),
        (("c.txt", 100), {}, f"{NEW} missing 1 required positional argument: 'pretokenization_type'"),
        ((), {"target_vocab_size": 1},
         f"{NEW} missing 2 required positional arguments: 'input_path' and 'pretokenization_type'"),
        (tuple(range(8)), {}, f"{NEW} takes from 3 to 7 positional arguments but 8 were given"),
        (("c.txt", 100, WHITESPACE), {"vocab": 1}, f"{NEW} got an unexpected keyword argument 'vocab'"),
        (("c.txt", 100, WHITESPACE), {"input_path": "x"}, f"{NEW} got multiple values for argument 'input_path'"),
        # Keywords are matched in the order given; binding comes before any conversion.
        (("c.txt",), {"zz": 1, "input_path": "x"}, f"{NEW} got an unexpected keyword argument 'zz'"),
        (("c.txt",), {"input_path": "x", "zz": 1}, f"{NEW} got multiple values for argument 'input_path'"),
        ((5, 6, 7), {"bogus": 1}, f"{NEW} got an unexpected keyword argument 'bogus'"),
    ])
    def test_binding_errors(self, args, kwargs, message):
        error = raised_by(lambda: BpeTokenizer(*args, **kwargs))
        assert type(error) is TypeError and str(error) == message


class TestConstructorConversion:
    @pytest.mark.parametrize("name, value, message", [
        ("input_path", 5, "argument 'input_path': 'int' object cannot be converted to 'PyString'"),
        ("target_vocab_size", 1.5, "argument 'target_vocab_size': 'float' object cannot be interpreted as an integer"),
        ("pretokenization_type", "whitespace",
         "argument 'pretokenization_type': 'str' object cannot be converted to 'PreTokenization'"),
        ("pretokenization_type", SpecialTokenRemovalMethod.simple(),
         "argument 'pretokenization_type': 'SpecialTokenRemovalMethod' object cannot be converted to 'PreTokenization'"),
        ("special_tokens", "<s>", "argument 'special_tokens': Can't extract `str` to `Vec`"),
        ("special_tokens", None, "argument 'special_tokens': 'NoneType' object cannot be converted to 'Sequence'"),
        ("special_tokens", {"<s>"}, "argument 'special_tokens': 'set' object cannot be converted to 'Sequence'"),
        ("special_tokens", ["<s>", 3], "argument 'special_tokens': 'int' object cannot be converted to 'PyString'"),
        ("special_token_removal_method", "simple",
         "argument 'special_token_removal_method': 'str' object cannot be converted to 'SpecialTokenRemovalMethod'"),
        ("save_model", 1, "argument 'save_model': 'int' object cannot be converted to 'PyBool'"),
        ("output_dir", 5, "argument 'output_dir': 'int' object cannot be converted to 'PyString'"),
    ])
    def test_type_errors_name_the_parameter(self, name, value, message):
        arguments = {"input_path": "c.txt", "target_vocab_size": 100, "pretokenization_type": WHITESPACE}
        arguments[name] = value
        error = raised_by(lambda: BpeTokenizer(**arguments))
        assert type(error) is TypeError and str(error) == message

    @pytest.mark.parametrize("size, message", [(-1, "can't convert negative int to unsigned"),
                                               (2**64, "int too big to convert")])
    def test_sizes_out_of_range_raise_the_interpreters_overflow_error(self, size, message):
        error = raised_by(lambda: BpeTokenizer("c.txt", size, WHITESPACE))
        assert type(error) is OverflowError and str(error) == message

    def test_lone_surrogates_fail_utf8_encoding(self):
        assert type(raised_by(lambda: BpeTokenizer("\ud800", 1, WHITESPACE))) is UnicodeEncodeError

    def test_arguments_are_converted_in_parameter_order(self):
        assert "'input_path'" in str(raised_by(lambda: BpeTokenizer(5, "x", "y")))
        assert "'target_vocab_size'" in str(raised_by(lambda: BpeTokenizer("c", "x", "y")))
        assert "'pretokenization_type'" in str(raised_by(lambda: BpeTokenizer("c", 1, "y", special_tokens="s")))

    def test_a_type_error_keeps_its_cause_and_other_errors_pass_unchanged(self):
        class Failing:
            def __init__(self, error):
                self.error = error

            def __index__(self):
                raise self.error

        root = ValueError("root")
        inner = TypeError("inner")
        inner.__cause__ = root
        error = raised_by(lambda: BpeTokenizer("c", Failing(inner), WHITESPACE))
        assert type(error) is TypeError and str(error) == "argument 'target_vocab_size': inner"
        assert error.__cause__ is root

        lookup = LookupError("as it was")
        assert raised_by(lambda: BpeTokenizer("c", Failing(lookup), WHITESPACE)) is lookup

    def test_accepted_values_make_an_empty_tokenizer(self):
        for kwargs in [{}, {"target_vocab_size": True}, {"target_vocab_size": Index(2**64 - 1)},
                       {"input_path": type("Path", (str,), {})("does/not/exist.txt")},
                       {"special_tokens": ("<s>", "<s>", "")},
                       {"special_token_removal_method": SpecialTokenRemovalMethod.aho_corasick()},
                       {"save_model": True, "special_token_removal_method": None, "output_dir": None}]:
            arguments = {"input_path": "c.txt", "target_vocab_size": 100, "pretokenization_type": WHITESPACE, **kwargs}
            assert repr(BpeTokenizer(**arguments)) == "BpeTokenizer(vocab_size=0)", kwargs


class TestMethodBinding:
    @pytest.mark.parametrize("call, error_type, message", [
        (lambda t: t.encode(), TypeError, "BpeTokenizer.encode() missing 1 required positional argument: 'text'"),
        (lambda t: t.encode("a", "b"), TypeError, "BpeTokenizer.encode() takes 1 positional arguments but 2 were given"),
        (lambda t: t.encode(txt="a"), TypeError, "BpeTokenizer.encode() got an unexpected keyword argument 'txt'"),
        (lambda t: t.decode([1], ids=[2]), TypeError, "BpeTokenizer.decode() got multiple values for argument 'ids'"),
        (lambda t: BpeTokenizer.from_pretrained(), TypeError,
         "BpeTokenizer.from_pretrained() missing 1 required positional argument: 'files_path'"),
        # Arguments are converted before the state check.
        (lambda t: t.encode(5), TypeError, "argument 'text': 'int' object cannot be converted to 'PyString'"),
        (lambda t: t.get_id_by_token(token=None), TypeError,
         "argument 'token': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda t: t.get_token_by_id("1"), TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
        (lambda t: t.decode("abc"), TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        (lambda t: t.decode([1, "a"]), TypeError, "argument 'ids': 'str' object cannot be interpreted as an integer"),
        (lambda t: BpeTokenizer.from_pretrained(files_path=5), TypeError,
         "argument 'files_path': 'int' object cannot be converted to 'PyString'"),
        (lambda t: t.get_token_by_id(-1), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.decode([0, 2**32]), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.get_token_by_id(2**64), OverflowError, "int too big to convert"),
        # Accepted by keyword and through __index__, then refused by the state.
        (lambda t: t.decode(ids=(Index(1),)), RuntimeError, "Cannot decode text without training the tokenizer"),
        (lambda t: t.get_token_by_id(id=Index(3)), RuntimeError, "the token for id 3 does not exist"),
    ])
    def test_errors(self, untrained, call, error_type, message):
        error = raised_by(lambda: call(untrained))
        assert type(error) is error_type and str(error) == message


class TestReceiverBorrowing:
    """Argument conversion can run Python code while the receiver is borrowed."""

    def test_train_is_refused_while_a_call_reads_the_tokenizer(self, corpus):
        tokenizer = BpeTokenizer(corpus, 30, WHITESPACE)

        class TrainsWhenIndexed:
            def __index__(self):
                tokenizer.train()
                return 0

        error = raised_by(lambda: tokenizer.decode([TrainsWhenIndexed()]))
        assert type(error) is RuntimeError and str(error) == "Already borrowed"
        # The failed call released its borrow: an exclusive one is possible again.
        after_training(tokenizer)

    def test_shared_borrows_nest(self, untrained):
        seen = []

        class ReadsWhenIndexed:
            def __index__(self):
                seen.append(repr(untrained))
                return 0

        with pytest.raises(RuntimeError, match="^Cannot decode text without training the tokenizer$"):
            untrained.decode([ReadsWhenIndexed(), ReadsWhenIndexed()])
        assert seen == ["BpeTokenizer(vocab_size=0)"] * 2
