"""The module object, its five classes, and the small value classes."""
import importlib
import sys
import weakref

import pytest

import wordloom
from conftest import run_python
from wordloom import BpeTokenizer, Encoder, PreTokenization, SpecialTokenRemovalMethod, TokenType

CLASSES = [BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod, Encoder, TokenType]


class TestModule:
    def test_all_lists_the_classes_in_order_and_nothing_else_is_public(self):
        assert wordloom.__all__ == [cls.__name__ for cls in CLASSES]
        assert [getattr(wordloom, name) for name in wordloom.__all__] == CLASSES
        assert [name for name in vars(wordloom) if not name.startswith("__")] == wordloom.__all__
        assert wordloom.__doc__ == ""

    def test_reimport_gives_the_same_module_object(self):
        del sys.modules["wordloom"]
        try:
            assert importlib.import_module("wordloom") is wordloom
        finally:
            sys.modules["wordloom"] = wordloom

    def test_import_from_a_sub_interpreter_fails(self):
        result = run_python(
            "import _testcapi, wordloom\n"
            "print(_testcapi.run_in_subinterp('import wordloom'))"
        )
        assert result.stdout.strip() == "-1"
        assert "ImportError" in result.stderr and "sub-interpreters" in result.stderr


class TestClasses:
    @pytest.mark.parametrize("cls", CLASSES)
    def test_named_in_builtins_final_and_made_only_by_the_module(self, cls):
        assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
        assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Derived", (cls,), {})
        if cls is not BpeTokenizer:
            assert cls.__doc__ == ""
            for args, kwargs in [((), {}), ((1,), {"x": 2})]:
                with pytest.raises(TypeError, match="^No constructor defined$"):
                    cls(*args, **kwargs)

    @pytest.mark.parametrize("make", [
        PreTokenization.whitespace,
        SpecialTokenRemovalMethod.aho_corasick,
        lambda: TokenType.WORD,
        lambda: BpeTokenizer("c.txt", 1, PreTokenization.whitespace()),
    ])
    def test_instances_have_no_dict_and_no_weak_references(self, make):
        instance = make()
        with pytest.raises(AttributeError):
            instance.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(instance)

    @pytest.mark.parametrize("make", [PreTokenization.punctuation, SpecialTokenRemovalMethod.simple])
    def test_setting_objects_compare_by_identity(self, make):
        first, second = make(), make()
        assert first is not second and first != second and first == first
        assert hash(first) != hash(second)
        assert repr(first).startswith(f"<builtins.{type(first).__name__} object at 0x")

    def test_methods_in_table_order_with_signatures_and_docs(self):
        # The original callables carry only a signature; the further ones also say what they do.
        original = {
            "from_pretrained": "(files_path)", "train": "($self)", "encode": "($self, text)",
            "decode": "($self, ids)", "get_id_by_token": "($self, token)", "get_token_by_id": "($self, id)",
        }
        further = {
            "encode_batch": "($self, texts, num_threads=None)", "encode_ids": "($self, text)",
            "encode_batch_arrays": "($self, texts, num_threads=None)", "get_vocab_size": "($self)",
            "save_pretrained": "($self, output_dir)", "load": "(files_path)", "to_bytes": "($self)",
            "from_bytes": "(data)", "__reduce__": "($self)", "__copy__": "($self)",
            "__deepcopy__": "($self, memo)",
        }
        table_order = [name for name, value in vars(BpeTokenizer).items()
                       if type(value).__name__ in ("method_descriptor", "staticmethod")]
        assert table_order == list(original) + list(further)
        for name, signature in {**original, **further}.items():
            method = getattr(BpeTokenizer, name)
            assert (name, method.__text_signature__) == (name, signature)
            assert method.__doc__ is None if name in original else method.__doc__.endswith(".")
        for function in [PreTokenization.whitespace, PreTokenization.punctuation,
                         SpecialTokenRemovalMethod.simple, SpecialTokenRemovalMethod.aho_corasick]:
            assert (function.__text_signature__, function.__doc__) == ("()", None)
        assert (Encoder.get_token_type.__text_signature__, Encoder.get_token_type.__doc__) == ("($self, token)", None)

    def test_constructor_signature_and_getter_docs(self):
        assert BpeTokenizer.__text_signature__ == (
            "(input_path, target_vocab_size, pretokenization_type, special_tokens=..., "
            "special_token_removal_method=None, save_model=False, output_dir=None)")
        assert not BpeTokenizer.__doc__
        for name in ["original_text", "tokens", "ids", "token_types"]:
            assert getattr(Encoder, name).__doc__ == ""


class TestTokenType:
    def test_variants_are_class_attributes_made_once(self):
        variants = [TokenType.WORD, TokenType.SUBWORD, TokenType.SPECIALTOKEN]
        assert all(type(v) is TokenType for v in variants)
        assert TokenType.WORD is TokenType.WORD
        assert [int(v) for v in variants] == [0, 1, 2]
        assert [repr(v) for v in variants] == ["TokenType.WORD", "TokenType.SUBWORD", "TokenType.SPECIALTOKEN"]
        assert [str(v) for v in variants] == [repr(v) for v in variants]

    def test_equality_with_integers_and_token_types(self):
        W, S, T = TokenType.WORD, TokenType.SUBWORD, TokenType.SPECIALTOKEN
        for left, right, equal in [(S, 1, True), (S, True, True), (W, 0, True), (2, T, True), (W, 1, False),
                                   (T, 2.0, False), (W, "WORD", False), (W, 2**70, False), (W, S, False)]:
            assert ((left == right), (left != right)) == (equal, not equal), (left, right)

    def test_no_ordering_and_no_hash(self):
        with pytest.raises(TypeError):
            TokenType.WORD < TokenType.SUBWORD
        with pytest.raises(TypeError):
            hash(TokenType.WORD)
