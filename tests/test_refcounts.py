"""Reference counting: every object the module makes is freed, and arguments,
exceptions and borrows leave nothing behind."""
import copy
import gc
import os
import pickle
import sys
import weakref

import psutil
import pytest

from conftest import Index
from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod, TokenType

WHITESPACE = PreTokenization.whitespace()
GROWTH_BOUND = 32 * 1024 * 1024  # far below what leaking in these loops would cost


def grows_by(action, repetitions):
    """Resident-memory growth over `repetitions` calls, after a warm-up."""
    def resident_bytes():
        gc.collect()
        return psutil.Process().memory_info().rss

    for _ in range(repetitions // 10):
        action()
    before = resident_bytes()
    for _ in range(repetitions):
        action()
    return resident_bytes() - before


# Counts are read outside the asserts, whose rewriting holds references.
class TestExactCounts:
    def test_instances_and_copies_release_their_type(self, trained):
        makers = (lambda _: BpeTokenizer("c.txt", 1, WHITESPACE, ["<s>"]), copy.copy, copy.deepcopy,
                  lambda tokenizer: pickle.loads(pickle.dumps(tokenizer)))
        makers[-1](trained)  # the first unpickling imports a module that refers to the class
        before = sys.getrefcount(BpeTokenizer)
        made = [make(trained) for make in makers for _ in range(250)]
        while_alive = sys.getrefcount(BpeTokenizer)
        del made
        assert (while_alive, sys.getrefcount(BpeTokenizer)) == (before + 1000, before)

    def test_arguments_and_variants_keep_their_counts(self, untrained):
        token = "".join(["<", "s>"])  # a str of its own, not interned
        big_id = 2**31 + 7  # an int of its own, not a cached small int
        watched = [token, big_id, WHITESPACE, TokenType.SUBWORD]
        before = [sys.getrefcount(obj) for obj in watched]
        for _ in range(1000):
            BpeTokenizer(token, big_id, WHITESPACE, [token] * 10, output_dir=token)
            with pytest.raises(RuntimeError):
                untrained.decode([big_id] * 10)
            repr(TokenType.SUBWORD), int(TokenType.SUBWORD), TokenType.SUBWORD == 1, TokenType.SUBWORD != "x"
        after = [sys.getrefcount(obj) for obj in watched]
        assert after == before

    def test_items_taken_from_a_sequence_are_released(self, untrained):
        handed_out = []

        class FreshItems:
            def __len__(self):
                return 100

            def __getitem__(self, position):
                if position >= 100:
                    raise IndexError(position)
                item = Index(position)
                handed_out.append(weakref.ref(item))
                return item

        with pytest.raises(RuntimeError):
            untrained.decode(FreshItems())
        assert len(handed_out) == 100 and all(item() is None for item in handed_out)

    def test_batch_encoding_keeps_the_counts_of_its_texts(self, trained):
        texts = ["".join(["low ", "new"]) for _ in range(50)]  # each a str of its own
        before = [sys.getrefcount(text) for text in texts]
        for _ in range(100):
            trained.encode_batch(texts, 2)
            trained.encode_batch_arrays(iter(texts))
            with pytest.raises(ValueError):
                trained.encode_batch(texts + ["ж"])
        after = [sys.getrefcount(text) for text in texts]
        assert after == before

    def test_array_buffers_are_released_with_their_views(self, trained):
        ids, offsets = trained.encode_batch_arrays(["low lower", "newest"])
        exporter = ids.obj
        views = [memoryview(exporter) for _ in range(10)]
        while_viewed = sys.getrefcount(exporter)
        del views, ids
        after = sys.getrefcount(exporter)
        assert (while_viewed, after) == (13, 2)  # the name, the argument, then 10 views and `ids`


@pytest.mark.skipif(bool(os.environ.get("WORDLOOM_EXPECT_SANITIZED")),
                    reason="the sanitizer's allocator keeps freed memory resident")
class TestResidentMemory:
    def test_creating_and_dropping_a_million_objects(self):
        def create():
            BpeTokenizer("c.txt", 1, WHITESPACE, ["<s>", "</s>"], SpecialTokenRemovalMethod.simple(), False, "out")
            PreTokenization.punctuation()

        assert grows_by(create, 1_000_000) < GROWTH_BOUND

    def test_raising_every_kind_of_error(self, untrained):
        failing_calls = [
            lambda: BpeTokenizer(),
            lambda: BpeTokenizer(*range(8)),
            lambda: BpeTokenizer("c", 1, WHITESPACE, input_path="c"),
            lambda: BpeTokenizer("c", 1.5, WHITESPACE),
            lambda: BpeTokenizer("c", 1, WHITESPACE, ["<s>", 3]),
            lambda: untrained.decode([0, -1]),
            lambda: untrained.get_id_by_token("zz"),
        ]

        def fail_each():
            for call in failing_calls:
                try:
                    call()
                except (TypeError, OverflowError, RuntimeError):
                    pass

        assert grows_by(fail_each, 100_000) < GROWTH_BOUND

    def test_borrowing_repeatedly(self, trained):
        encoded = trained.encode("lower newest wide")

        def borrow():
            repr(trained), trained.get_token_by_id(0), trained.decode(encoded.ids)
            encoded.tokens, encoded.token_types, encoded.get_token_type(encoded.tokens[0])

        assert grows_by(borrow, 200_000) < GROWTH_BOUND

    def test_batches_copies_and_pickles_repeatedly(self, trained):
        texts = ["low lower newest", "wide", ""] * 30

        def use():
            trained.encode_batch(texts, 2)
            ids, offsets = trained.encode_batch_arrays(texts)
            bytes(ids), offsets.tolist()
            pickle.loads(pickle.dumps(trained))
            try:
                trained.encode_batch(texts + ["ж"])
            except ValueError:
                pass

        assert grows_by(use, 3_000) < GROWTH_BOUND
