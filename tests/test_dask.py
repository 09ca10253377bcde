"""wordloom_tools.dask on a local cluster of two worker processes: files cut
into shards, or the items of a bag, counted on the workers and added up in
order, give the counts of the whole corpus and train the model that one
process trains on it."""
import json
import random
from pathlib import Path

import pytest

pytest.importorskip("distributed", reason="dask[distributed] is not installed (the dask extra; "
                                          "requirements-dev.txt lists it)")
pytest.importorskip("fsspec", reason="fsspec is not installed (the dask extra; requirements-dev.txt lists it)")

import dask
import dask.bag
from distributed import Client, LocalCluster

from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod
from wordloom_tools import WordCounts
from wordloom_tools.dask import count_words, train_on_cluster
from wordloom_tools.model_files import MODEL_FILES
from wordloom_tools.training import TrainingError

VOCAB_SIZE = 300
BLOCKSIZE = 700  # small, so that every file but the smallest is cut into many shards
KINDS = ["whitespace", "punctuation"]
SPECIAL_TOKEN_CASES = [
    pytest.param([], None, id="no-special-tokens"),
    # The space is in a token, so shards end after the other kinds of white space.
    pytest.param(["<s>", "<end of text>"], "aho_corasick", id="a-token-holds-the-space"),
    # Every ASCII white space is in a token: each file is one shard.
    pytest.param(["<s>", "<sep>\n \t\r\v\f"], "simple", id="the-tokens-hold-all-white-space"),
]


def wordloom_settings(kind, special_tokens, method):
    """The settings as the BpeTokenizer constructor and WordCounts take them."""
    return (getattr(PreTokenization, kind)(), list(special_tokens),
            None if method is None else getattr(SpecialTokenRemovalMethod, method)())


def random_text(rng, words):
    """Words of several scripts, joined by all kinds of white space, with
    punctuation and every special token of the cases in between; it ends
    with a newline, as a file of a corpus does."""
    stems = ["low", "lower", "newest", "wid", "größer", "日本語", "naïve", "a.b", "x,y!", "don't", "é"]
    glue = [" "] * 8 + ["\n", "\t", "  ", "\r\n", "\v", "\f", "\u3000", "\u00a0", "\u2028"]
    pieces = []
    for _ in range(words):
        pieces.append(rng.choice(stems) + rng.choice(["", "", "s", "er", "<s>", "-"]))
        pieces.append(rng.choice(glue) if rng.random() > 0.05 else rng.choice(["<end of text>", "<sep>\n \t\r\v\f"]))
    return "".join(pieces) + "\n"


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def corpus_files(tmp_path_factory):
    """Files of several sizes, an empty one among them, and their concatenation."""
    directory = tmp_path_factory.mktemp("corpus")
    rng = random.Random(7)
    texts = [random_text(rng, 3000), "", random_text(rng, 5), random_text(rng, 1200), random_text(rng, 2000)]
    paths = []
    for number, text in enumerate(texts):
        path = directory / f"part-{number}.txt"
        path.write_bytes(text.encode("utf-8"))
        paths.append(str(path))
    (directory / "whole.txt").write_bytes("".join(texts).encode("utf-8"))
    return paths, str(directory / "whole.txt")


def read_model(directory):
    return {name: json.loads((directory / name).read_text(encoding="utf-8")) for name in MODEL_FILES}


def model_of_counts(counts, directory):
    counts.train(VOCAB_SIZE, save_model=True, output_dir=str(directory))
    return read_model(directory)


def model_of_one_process(corpus, settings, directory):
    """The model that training on the whole `corpus` file saves."""
    BpeTokenizer(corpus, VOCAB_SIZE, *settings, save_model=True, output_dir=str(directory)).train()
    return read_model(directory)


class TestFiles:
    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize(("special_tokens", "method"), SPECIAL_TOKEN_CASES)
    def test_shards_add_up_to_the_whole_corpus(self, client, corpus_files, tmp_path, kind, special_tokens, method):
        paths, whole = corpus_files
        settings = wordloom_settings(kind, special_tokens, method)
        counts = count_words(paths, kind, special_tokens, method, client=client, blocksize=BLOCKSIZE)
        assert counts == WordCounts.from_files(paths, *settings)  # the same words in the same order
        assert model_of_counts(counts, tmp_path / "cluster") == \
            model_of_one_process(whole, settings, tmp_path / "one-process")

    def test_every_blocksize_gives_the_same_counts(self, client, tmp_path):
        path = tmp_path / "short.txt"
        path.write_text(random_text(random.Random(3), 20), encoding="utf-8")
        expected = WordCounts.from_files(str(path), PreTokenization.punctuation())
        for blocksize in (1, 16, None):  # shards of a byte: most of them are empty
            assert count_words(str(path), "punctuation", client=client, blocksize=blocksize) == expected, blocksize

    def test_without_a_client_the_configured_scheduler_counts(self, corpus_files):
        paths, _ = corpus_files
        with dask.config.set(scheduler="threads"):
            assert count_words(paths, "punctuation", blocksize=BLOCKSIZE) == \
                WordCounts.from_files(paths, PreTokenization.punctuation())
            assert len(count_words([], "punctuation")) == 0

    def test_glob_patterns_stand_for_their_files_in_name_order(self, client, corpus_files):
        paths, _ = corpus_files
        pattern = str(Path(paths[0]).parent / "part-*.txt")
        assert count_words([paths[-1], pattern], "whitespace", client=client) == \
            WordCounts.from_files([paths[-1], *paths], PreTokenization.whitespace())

    def test_a_word_longer_than_many_shards(self, client, tmp_path):
        # The shards that start inside the word search past it for their start.
        path = tmp_path / "long.txt"
        path.write_text("one two " + "z" * 100_000 + " three\n", encoding="utf-8")
        counts = count_words(str(path), "whitespace", client=client, blocksize=10_000)
        assert counts.most_common() == [("one", 1), ("two", 1), ("z" * 100_000, 1), ("three", 1)]

    def test_text_that_is_not_utf8_is_named_with_its_offset(self, client, tmp_path):
        path = tmp_path / "broken.txt"
        path.write_bytes(b"fine words\n" * 500 + b"bad \xff byte\n" + b"more\n" * 10)
        with pytest.raises(ValueError) as in_one_process:
            WordCounts.from_files(str(path), PreTokenization.whitespace())
        with pytest.raises(ValueError) as on_the_cluster:
            count_words(str(path), "whitespace", client=client, blocksize=BLOCKSIZE)
        assert str(on_the_cluster.value) == str(in_one_process.value)
        assert "byte offset 5504" in str(on_the_cluster.value)

    def test_missing_files_and_wrong_setting_names_raise(self, client, tmp_path):
        with pytest.raises(FileNotFoundError):
            count_words(str(tmp_path / "absent.txt"), "whitespace", client=client)
        with pytest.raises(FileNotFoundError, match="no files match"):
            count_words(str(tmp_path / "absent-*.txt"), "whitespace", client=client)
        with pytest.raises(ValueError, match="pretokenization_type must be 'whitespace' or 'punctuation'"):
            count_words([], PreTokenization.whitespace(), client=client)
        with pytest.raises(ValueError, match="special_token_removal_method must be 'simple' or 'aho_corasick'"):
            count_words([], "whitespace", ["<s>"], "Simple", client=client)
        with pytest.raises(ValueError, match="blocksize must be a positive number of bytes or None, not 0"):
            count_words([], "whitespace", client=client, blocksize=0)


class TestBag:
    @pytest.mark.parametrize("kind", KINDS)
    def test_items_are_documents_in_bag_order(self, client, tmp_path, kind):
        rng = random.Random(11)
        # Each item ends a word, white space at its end or not.
        texts = [random_text(rng, rng.randrange(0, 40)).rstrip() for _ in range(60)] + ["", "last<s>"]
        special_tokens = ["<s>", "<end of text>"]
        settings = wordloom_settings(kind, special_tokens, "aho_corasick")
        bag = dask.bag.from_sequence(texts, npartitions=7)
        counts = count_words(bag, kind, special_tokens, "aho_corasick", client=client)
        assert counts == WordCounts.from_texts(texts, *settings)
        whole = tmp_path / "whole.txt"
        whole.write_bytes("\n".join(texts).encode("utf-8"))
        assert model_of_counts(counts, tmp_path / "cluster") == \
            model_of_one_process(str(whole), settings, tmp_path / "one-process")

    def test_an_empty_bag_counts_nothing(self, client):
        assert len(count_words(dask.bag.from_sequence([], npartitions=1), "punctuation", client=client)) == 0


class TestTrainOnCluster:
    def test_saves_the_model_of_the_whole_corpus(self, client, corpus_files, tmp_path):
        paths, whole = corpus_files
        special_tokens = ["<s>", "<end of text>"]
        waits = []
        train_on_cluster(client.scheduler.address, paths, VOCAB_SIZE, tmp_path / "cluster", punctuation=True,
                         special_tokens=special_tokens, aho_corasick=True, while_waiting=lambda: waits.append(1))
        assert waits  # called while the cluster counts and while training merges
        settings = wordloom_settings("punctuation", special_tokens, "aho_corasick")
        assert read_model(tmp_path / "cluster") == model_of_one_process(whole, settings, tmp_path / "one-process")

    def test_failures_are_training_errors(self, client, tmp_path):
        out = tmp_path / "out"
        with pytest.raises(TrainingError, match=r"^cannot read .*absent-\*\.txt: no files match$"):
            train_on_cluster(client.scheduler.address, str(tmp_path / "absent-*.txt"), VOCAB_SIZE, out)
        assert not out.exists()
        with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
            with pytest.raises(TrainingError, match="^cannot reach the Dask scheduler at tcp://127.0.0.1:1: "):
                train_on_cluster("tcp://127.0.0.1:1", str(tmp_path / "absent.txt"), VOCAB_SIZE, out)
        assert not out.exists()
