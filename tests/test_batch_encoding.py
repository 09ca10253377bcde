"""encode_batch, encode_batch_arrays and encode_ids give exactly what encode
gives text by text, for every thread count; failures name the text; the
tokenizer stays borrowed while native threads work without the GIL."""
import concurrent.futures
import gc
import io
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

from conftest import CORPUS, Index
from wordloom import BpeTokenizer, PreTokenization

try:
    import numpy
except ImportError:
    numpy = None

SPECIAL_TOKENS = ["<s>", "</s>"]
WHITESPACE = " \t\n\u3000"
# Every character of these pieces has a token in the tokenizer below.
PIECES = st.sampled_from(sorted(set(CORPUS) - set("\n")) + SPECIAL_TOKENS + list(WHITESPACE) + ["low", "newest"])
texts = st.lists(PIECES, max_size=30).map("".join)
text_lists = st.lists(texts, max_size=40)


@pytest.fixture(scope="module")
def tokenizer(tmp_path_factory):
    corpus = tmp_path_factory.mktemp("batch") / "corpus.txt"
    corpus.write_text(CORPUS * 3, encoding="utf-8")
    tokenizer = BpeTokenizer(str(corpus), 40, PreTokenization.whitespace(), SPECIAL_TOKENS)
    tokenizer.train()
    return tokenizer


@pytest.fixture(scope="module")
def wide_tokenizer(tmp_path_factory):
    """Knows characters of one to four UTF-8 bytes."""
    corpus = tmp_path_factory.mktemp("wide") / "corpus.txt"
    corpus.write_text("aa a\u00e9 \u0436\u0436 \u20aca \U0001F600\u00e9\n" * 3, encoding="utf-8")
    tokenizer = BpeTokenizer(str(corpus), 12, PreTokenization.whitespace())
    tokenizer.train()
    return tokenizer


def one_by_one(tokenizer, texts):
    return [tokenizer.encode(text).ids for text in texts]


def split_arrays(ids, offsets):
    """The id lists that the arrays hold, read through memoryview only."""
    ids, offsets = ids.tolist(), offsets.tolist()
    return [ids[start:end] for start, end in zip(offsets, offsets[1:])]


class TestSameAsEncode:
    @settings(max_examples=150, deadline=None)
    @given(texts=text_lists, threads=st.none() | st.integers(1, 8))  # None: one thread per CPU
    def test_every_form_equals_encode_text_by_text(self, tokenizer, texts, threads):
        expected = one_by_one(tokenizer, texts)
        assert tokenizer.encode_batch(texts, threads) == expected
        assert split_arrays(*tokenizer.encode_batch_arrays(texts, num_threads=threads)) == expected
        assert [tokenizer.encode_ids(text) for text in texts] == expected

    def test_texts_may_come_from_any_iterable_whatever_it_reports(self, tokenizer):
        expected = one_by_one(tokenizer, ["low", "new wide"])

        class LyingLength:
            def __len__(self):
                return 2**62

            def __iter__(self):
                return iter(["low", "new wide"])

        for given in [("low", "new wide"), iter(["low", "new wide"]), {"low": 1, "new wide": 2}, LyingLength()]:
            assert tokenizer.encode_batch(given) == expected
        assert tokenizer.encode_batch(texts=["low"], num_threads=Index(2)) == expected[:1]
        texts = ["low", "new"]  # grows while it is read: every text read is encoded
        growing = (texts.append(text + " wide") or text if len(texts) < 6 else text for text in texts)
        assert tokenizer.encode_batch(growing) == one_by_one(tokenizer, ["low", "new", "low wide", "new wide",
                                                                         "low wide wide", "new wide wide"])

    def test_texts_keep_their_size(self, tmp_path):
        """Reading a text that is not ASCII leaves no UTF-8 copy cached on it,
        which would double a caller's dataset for as long as it lives."""
        corpus = tmp_path / "accents.txt"
        corpus.write_text("café crème été\n", encoding="utf-8")
        tokenizer = BpeTokenizer(str(corpus), 30, PreTokenization.whitespace())
        tokenizer.train()
        texts = ["crème " * 1000, "café été"]
        sizes = [sys.getsizeof(text) for text in texts]
        batches = [tokenizer.encode_batch(texts), split_arrays(*tokenizer.encode_batch_arrays(texts))]
        assert [sys.getsizeof(text) for text in texts] == sizes
        assert batches == [one_by_one(tokenizer, texts)] * 2  # encode itself keeps a UTF-8 copy, as before

    @settings(max_examples=150, deadline=None)
    @given(pieces=st.lists(st.sampled_from(["a", "aaaaaaaaa", " ", "\u00e9", "\u0436", "\u20ac", "\U0001F600"]),
                           max_size=40))
    def test_encode_ids_reads_every_width_of_str_as_encode_does(self, wide_tokenizer, pieces):
        """Characters of one to four UTF-8 bytes, in strs stored with one, two
        or four bytes per character, ASCII runs of every length among them."""
        text = "".join(pieces)
        size = sys.getsizeof(text)
        ids = wide_tokenizer.encode_ids(text)
        assert sys.getsizeof(text) == size  # no UTF-8 copy left on the str
        assert ids == wide_tokenizer.encode(text).ids

    def test_encode_ids_refuses_lone_surrogates_as_encode_does(self, wide_tokenizer):
        for text in ["\ud800", "a\u00e9\udfff", "\u20ac" * 9 + "\udc00", "\U0001F600 \ud83d"]:
            for encode in (wide_tokenizer.encode, wide_tokenizer.encode_ids):
                with pytest.raises(UnicodeEncodeError) as raised:
                    encode(text)
                assert "surrogates not allowed" in str(raised.value)

    def test_the_garbage_collector_is_left_as_it_was(self, tokenizer):
        texts = ["low new wide"] * 3000
        expected = one_by_one(tokenizer, texts)
        try:
            for enabled in (True, False):
                gc.enable() if enabled else gc.disable()
                assert tokenizer.encode_batch(texts) == expected
                assert gc.isenabled() == enabled
        finally:
            gc.enable()


class TestArguments:
    def test_bad_arguments_raise_type_errors(self, tokenizer):
        cases = [
            (("low",), "argument 'texts': Can't extract `str` to `Vec`"),
            ((5,), "argument 'texts': 'int' object is not iterable"),
            ((["low", b"new"],), "argument 'texts': 'bytes' object cannot be converted to 'PyString'"),
            ((["low"], 1.5), "argument 'num_threads': 'float' object cannot be interpreted as an integer"),
            ((), "BpeTokenizer.encode_batch() missing 1 required positional argument: 'texts'"),
            (([], 1, 2), "BpeTokenizer.encode_batch() takes from 1 to 2 positional arguments but 3 were given"),
        ]
        for args, message in cases:
            with pytest.raises(TypeError) as raised:
                tokenizer.encode_batch(*args)
            assert str(raised.value) == message
        with pytest.raises(TypeError, match="^BpeTokenizer.encode_batch_arrays\\(\\) got an unexpected keyword"):
            tokenizer.encode_batch_arrays([], threads=2)
        with pytest.raises(ValueError, match="^num_threads must be at least 1$"):
            tokenizer.encode_batch(["low"], 0)
        with pytest.raises(OverflowError):
            tokenizer.encode_batch(["low"], -2**70)

    def test_an_untrained_tokenizer_refuses_after_checking_the_arguments(self, untrained):
        for method in (untrained.encode_batch, untrained.encode_batch_arrays):
            with pytest.raises(RuntimeError, match="^Cannot encode text without training the tokenizer$"):
                method(["low"])
            with pytest.raises(TypeError, match="argument 'texts'"):
                method("low")
        with pytest.raises(RuntimeError, match="^Cannot encode text without training the tokenizer$"):
            untrained.encode_ids("low")
        with pytest.raises(TypeError, match="^argument 'text': 'list' object cannot be converted to 'PyString'$"):
            untrained.encode_ids(["low"])


class TestUnknownCharacters:
    @pytest.mark.parametrize("threads", [1, 2, 8])
    def test_the_first_failing_text_is_named_whatever_the_threads(self, tokenizer, threads):
        texts = ["low new"] * 5000
        texts[4000] = "wide zebra"
        texts[1234] = "low лось"
        for method in (tokenizer.encode_batch, tokenizer.encode_batch_arrays):
            with pytest.raises(ValueError) as raised:
                method(texts, threads)
            assert str(raised.value) == "text 1234: the character 'л' (U+043B) has no token in the vocabulary"
        assert tokenizer.encode_batch(texts[:3], threads) == one_by_one(tokenizer, texts[:3])

    def test_encode_ids_fails_as_encode_does(self, tokenizer):
        for encode in (tokenizer.encode, tokenizer.encode_ids):
            with pytest.raises(BaseException) as raised:
                encode("low ж")
            assert (type(raised.value).__name__, str(raised.value)) == \
                ("PanicException", "the character 'ж' (U+0436) has no token in the vocabulary")


class TestArrays:
    def test_layout_of_the_two_buffers(self, tokenizer):
        texts = ["low lower", "", "<s> newest", "wide"]
        ids, offsets = tokenizer.encode_batch_arrays(texts)
        expected = one_by_one(tokenizer, texts)
        assert (ids.format, ids.itemsize, ids.ndim, ids.readonly, ids.c_contiguous) == ("I", 4, 1, True, True)
        assert (offsets.format, offsets.itemsize, offsets.ndim, offsets.readonly) == ("Q", 8, 1, True)
        assert ids.tolist() == [i for text_ids in expected for i in text_ids]
        assert len(offsets) == len(texts) + 1 and offsets[0] == 0 and offsets[-1] == len(ids)
        with pytest.raises(TypeError, match="read-only"):
            ids[0] = 1
        ids, offsets = tokenizer.encode_batch_arrays([])
        assert (ids.tolist(), offsets.tolist(), bytes(ids)) == ([], [0], b"")

    def test_the_native_buffer_refuses_writers_and_construction(self, tokenizer):
        ids, _ = tokenizer.encode_batch_arrays(["low"])
        exporter = ids.obj
        before = bytes(exporter)
        assert memoryview(exporter).tolist() == ids.tolist() and memoryview(exporter).readonly
        with pytest.raises(TypeError, match="read-write"):
            io.BytesIO(b"\xff" * 64).readinto(exporter)
        assert bytes(exporter) == before
        with pytest.raises(TypeError, match="^No constructor defined$"):
            type(exporter)()

    @pytest.mark.skipif(numpy is None, reason="numpy is not installed")
    def test_numpy_reads_the_buffers_without_a_copy(self, tokenizer):
        texts = ["low lower lowest", "new", "", "wide <s> wider"]
        ids, offsets = tokenizer.encode_batch_arrays(texts)
        as_ids, as_offsets = numpy.asarray(ids), numpy.asarray(offsets)
        assert as_ids.dtype == numpy.uint32 and as_offsets.dtype == numpy.uint64 and not as_ids.flags.writeable
        assert numpy.shares_memory(as_ids, numpy.asarray(ids))  # no copy
        assert [as_ids[start:end].tolist() for start, end in zip(as_offsets, as_offsets[1:])] \
            == one_by_one(tokenizer, texts)


class TestBorrowingAndThreads:
    def test_training_while_the_texts_are_read_is_refused(self, tokenizer):
        def texts():
            yield "low"
            tokenizer.train()

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            tokenizer.encode_batch(texts())

    def test_training_from_another_thread_during_the_batch_is_refused(self, tokenizer):
        # The batch runs without the GIL: the other thread runs and finds the tokenizer borrowed.
        started, finished = threading.Event(), threading.Event()
        seen = []

        def try_training():
            started.wait()
            while not finished.is_set():
                try:
                    tokenizer.train()
                except RuntimeError as error:
                    seen.append(str(error))

        def texts():
            yield from ["low new wide " * 2000] * 400
            started.set()

        other = threading.Thread(target=try_training)
        other.start()
        try:
            result = tokenizer.encode_batch(texts(), num_threads=2)
        finally:
            finished.set()
            other.join()
        assert "Already borrowed" in seen
        assert set(seen) <= {"Already borrowed", "Cannot train a pretrained model"}
        assert len(result) == 400 and result[0] == result[-1] == tokenizer.encode_ids("low new wide " * 2000)

    def test_concurrent_batches_on_one_tokenizer_agree(self, tokenizer):
        texts = [f"low {'new ' * (i % 9)}wide" for i in range(2000)]
        expected = one_by_one(tokenizer, texts)
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            results = list(pool.map(lambda _: tokenizer.encode_batch(texts, num_threads=2), range(4)))
        assert results == [expected] * 4
