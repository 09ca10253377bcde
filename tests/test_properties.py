"""Properties over generated corpora, texts, special tokens and model
directories, drawn from the characters that most often break text handling:
multi-byte and astral ones, all 25 white-space code points, punctuation, and
controls and zero-width characters that are not white space."""
import pathlib
import re
import string
import tempfile

import pytest
from hypothesis import event, given, settings, strategies as st

from conftest import MODEL_FILES, run_python, after_training, vocabulary, write_model_files
from wordloom import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

END_OF_WORD = "</w>"
WHITESPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
              + "\u2028\u2029\u202f\u205f\u3000")
# '>' is left out so that no text spells the end-of-word marker.
WORD_CHARACTERS = (
    "abcXY09"
    + string.punctuation.replace(">", "")
    + "éßЖ中\u0301"                    # two- and three-byte characters, a combining accent
    + "😀𝔘\U0010fffd"                  # four-byte (astral) characters
    + "¿—…«"                           # punctuation outside ASCII never splits a word
    + "\x00\x1c\x1f\x7f\u200b\ufeff"   # not white space, though some look like it
)
KINDS = {"whitespace": PreTokenization.whitespace, "punctuation": PreTokenization.punctuation}

words = st.text(WORD_CHARACTERS, min_size=1, max_size=6)
kinds = st.sampled_from(sorted(KINDS))
removal_methods = st.sampled_from([None, "simple", "aho_corasick"])
special_token_lists = st.lists(st.text(WORD_CHARACTERS + '>"\\\n', max_size=5), max_size=4)


@st.composite
def texts(draw, words, max_words=12):
    """Words joined by runs of white space (or by nothing, which joins them)."""
    chosen = draw(st.lists(words, max_size=max_words))
    gaps = draw(st.lists(st.text(WHITESPACE, max_size=3), min_size=len(chosen) + 1, max_size=len(chosen) + 1))
    return gaps[0] + "".join(word + gap for word, gap in zip(chosen, gaps[1:]))


def words_over(text, extra=()):
    """Words made of the characters of `text` (so every one has a token), or one of `extra`."""
    characters = sorted(set(text) - set(WHITESPACE))
    made = st.text(st.sampled_from(characters), min_size=1, max_size=8) if characters else st.just("")
    return made | st.sampled_from(extra) if extra else made


@st.composite
def corpora(draw, extra_words=()):
    """A few distinct words repeated in random order, so that pairs recur."""
    pool = draw(st.lists(words, min_size=1, max_size=6)) + list(extra_words)
    return draw(texts(st.sampled_from(pool), max_words=40))


@st.composite
def training_inputs(draw):
    """The arguments of train() below; special tokens also occur in the corpus."""
    special_tokens = draw(special_token_lists)
    return dict(corpus=draw(corpora([token for token in special_tokens if token])),
                target=draw(st.integers(0, 60)), kind=draw(kinds), special_tokens=special_tokens,
                method=draw(removal_methods))


def train(corpus, target, kind="whitespace", special_tokens=(), method=None, output_dir=None):
    with tempfile.TemporaryDirectory() as scratch:
        path = pathlib.Path(scratch, "corpus.txt")
        path.write_bytes(corpus.encode("utf-8"))
        tokenizer = BpeTokenizer(str(path), target, KINDS[kind](), list(special_tokens),
                                 getattr(SpecialTokenRemovalMethod, method)() if method else None,
                                 output_dir is not None, output_dir)
        return after_training(tokenizer)  # the corpus is read whole, so it may go now


def encoding(tokenizer, text):
    result = tokenizer.encode(text)
    return result.original_text, result.tokens, result.ids, result.token_types


def outcome(call, *args):
    """The result of the call, or the type and text of the error it raised."""
    try:
        return call(*args)
    except BaseException as error:
        if not isinstance(error, RuntimeError) and type(error).__name__ != "PanicException":
            raise
        return type(error).__name__, str(error)


def words_of(tokens):
    """The words an encoding spells: tokens joined up to each end-of-word marker."""
    spelled, current = [], ""
    for token in tokens:
        current += token
        if current.endswith(END_OF_WORD):
            spelled.append(current[: -len(END_OF_WORD)])
            current = ""
    assert current == "", f"the last word has no end-of-word marker: {tokens}"
    return spelled


WHITESPACE_RUN = re.compile(f"[{WHITESPACE}]+")
PUNCTUATION_OR_OTHER = re.compile(f"[{re.escape(string.punctuation)}]|[^{re.escape(string.punctuation)}]+")


def reference_words(text, kind):
    pieces = [piece for piece in WHITESPACE_RUN.split(text) if piece]
    if kind == "whitespace":
        return pieces
    return [word for piece in pieces for word in PUNCTUATION_OR_OTHER.findall(piece)]


@st.composite
def corpus_and_text(draw):
    """A corpus without special tokens, and a text made of its characters."""
    corpus = draw(corpora())
    return corpus, draw(st.integers(0, 60)), draw(kinds), draw(texts(words_over(corpus)))


class TestEncodingSpellsTheText:
    @settings(max_examples=200, deadline=None)
    @given(corpus_and_text())
    def test_the_tokens_spell_the_words_of_the_text_and_decode_to_them(self, case):
        corpus, target, kind, text = case
        tokenizer = train(corpus, target, kind)
        encoded = tokenizer.encode(text)
        spelled = words_of(encoded.tokens)
        assert all(spelled), f"an empty word in {encoded.tokens}"
        assert spelled == reference_words(text, kind)
        assert [tokenizer.get_token_by_id(i) for i in encoded.ids] == encoded.tokens
        assert tokenizer.decode(encoded.ids) == "".join(word + " " for word in spelled)


class TestTrainingAgainAndLoading:
    @settings(max_examples=100, deadline=None)
    @given(inputs=training_inputs(), data=st.data())
    def test_a_second_training_and_the_saved_model_answer_like_the_first_training(self, inputs, data):
        with tempfile.TemporaryDirectory() as scratch:
            trained = train(**inputs, output_dir=f"{scratch}/nested/model")
            loaded = BpeTokenizer.from_pretrained(f"{scratch}/nested/model")
        again = train(**inputs)
        tokens = vocabulary(trained)
        assert vocabulary(loaded) == vocabulary(again) == tokens
        assert repr(loaded) == repr(trained)

        probes = data.draw(st.lists(st.sampled_from(tokens) | words, max_size=6) if tokens else st.just([]))
        for token in probes:
            assert outcome(loaded.get_id_by_token, token) == outcome(trained.get_id_by_token, token)
        ids = data.draw(st.lists(st.integers(0, len(tokens) + 2) | st.just(2**32 - 1), max_size=20))
        for i in ids[:5]:
            assert outcome(loaded.get_token_by_id, i) == outcome(trained.get_token_by_id, i)
        assert loaded.decode(ids) == trained.decode(ids)
        for text in (inputs["corpus"], data.draw(texts(words_over(inputs["corpus"], inputs["special_tokens"])))):
            expected = outcome(encoding, trained, text)
            assert outcome(encoding, loaded, text) == expected == outcome(encoding, again, text)


LOAD_AND_USE = """
import re, sys, wordloom

def tolerated(call, *args):
    try:
        call(*args)
    except RuntimeError:
        pass
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise

def use(tokenizer):
    size = int(re.fullmatch(r"BpeTokenizer\\(vocab_size=(\\d+)\\)", repr(tokenizer))[1])
    tokens = [tokenizer.get_token_by_id(i) for i in range(min(size, 50))]
    for text in (" ".join(tokens), "".join(tokens), "a b", "", "\\U0001F600 \\u00e9\\t</w>"):
        tolerated(tokenizer.encode, text)
    tolerated(tokenizer.decode, list(range(size + 2)) + [2**32 - 1])
    for i in (0, size, 2**32 - 1):
        tolerated(tokenizer.get_token_by_id, i)
    for token in tokens:
        tolerated(tokenizer.get_id_by_token, token)

try:
    tokenizer = wordloom.BpeTokenizer.from_pretrained(sys.argv[1])
except BaseException as error:
    if type(error).__name__ != "PanicException":
        raise
else:
    use(tokenizer)
print("survived")
"""

NASTY_NUMBERS = [b"4294967295", b"4294967296", b"18446744073709551615", b"18446744073709551616", b"-1", b"-0",
                 b"1.5", b"1e400", b"00", b"99999999999999999999999999"]
NASTY_SNIPPETS = [b"\x00", b"\xef\xbb\xbf", b"\xc3", b'"\\ud800"', b'"\\u0000"', b'"a\\nb"', '"😀"'.encode(),
                  b",", b"]", b"}", b"[" * 100, b'{"":' * 100]
file_names = st.sampled_from(MODEL_FILES)
positions = st.integers(0, 10**6)  # taken modulo the file length


def flip(files, name, position, mask):
    data = bytearray(files[name])
    if data:
        data[position % len(data)] ^= mask
    files[name] = bytes(data)


def truncate(files, name, position):
    files[name] = files[name][: position % (len(files[name]) + 1)]


def splice(files, name, position, snippet):
    at = position % (len(files[name]) + 1)
    files[name] = files[name][:at] + snippet + files[name][at:]


def replace_number(files, name, index, number):
    found = list(re.finditer(rb"\d+", files[name]))
    if found:
        match = found[index % len(found)]
        files[name] = files[name][: match.start()] + number + files[name][match.end():]


def nest_deeply(files, depth):
    """Adds a deeply nested member that config.json readers must skip."""
    files["config.json"] = b'{"deep": ' + b"[" * depth + b"]" * depth + b", " + files["config.json"].lstrip(b"{")


MUTATIONS = {"flip": flip, "truncate": truncate, "splice": splice, "number": replace_number, "nest": nest_deeply}
mutations = st.one_of(
    st.tuples(st.just("flip"), file_names, positions, st.integers(1, 255)),
    st.tuples(st.just("truncate"), file_names, positions),
    st.tuples(st.just("splice"), file_names, positions, st.sampled_from(NASTY_SNIPPETS)),
    st.tuples(st.just("number"), file_names, st.integers(0, 50), st.sampled_from(NASTY_NUMBERS)),
    st.tuples(st.just("nest"), st.integers(1, 100_000)),
)


@st.composite
def small_models(draw):
    """A vocabulary of a few characters and merges whose ids may lie beyond it."""
    id_to_token = draw(st.lists(st.sampled_from(WORD_CHARACTERS), min_size=1, max_size=5, unique=True)) + [END_OF_WORD]
    ids = st.integers(0, len(id_to_token) + 1)
    return id_to_token, draw(st.lists(st.tuples(ids, ids, ids), max_size=6))


def assert_used_or_rejected_in_one_line(child):
    if child.returncode == 1:
        assert child.stdout == ""
        # Universal newlines: a carriage return counts as a line end too.
        assert child.stderr.startswith("Error: ") and child.stderr.endswith("\n"), child.stderr
        assert child.stderr.count("\n") == 1, child.stderr
    else:
        assert (child.returncode, child.stdout) == (0, "survived\n"), child.stderr


class TestDamagedModelDirectories:
    @settings(max_examples=60, deadline=None)
    @given(model=small_models(), changes=st.lists(mutations, max_size=3),
           missing=st.lists(file_names, max_size=1))
    def test_a_damaged_model_is_used_or_rejected_in_one_line(self, model, changes, missing):
        with tempfile.TemporaryDirectory() as scratch:
            directory = pathlib.Path(scratch)
            write_model_files(directory, *model)
            files = {name: (directory / name).read_bytes() for name in MODEL_FILES}
            for kind, *arguments in changes:
                MUTATIONS[kind](files, *arguments)
            for name, data in files.items():
                if name not in missing:
                    (directory / name).write_bytes(data)
                else:
                    (directory / name).unlink()
            child = run_python(LOAD_AND_USE, scratch)
        event("rejected" if child.returncode == 1 else "loaded")
        assert_used_or_rejected_in_one_line(child)

    @pytest.mark.parametrize("name, content", [
        ("config.json", b'{"target_vocab_size": 1, "pre_tokenizer": "Whitespace\\n", "special_tokens": [],'
                        b' "special_token_removal_method": "Simple"}'),
        ("config.json", b'{"target_vocab_size": "1\\r\\n2"}'),
        ("token_table.json", b'{"id_to_token": ["\xc3(", "\xfb"]}'),  # not UTF-8
        ("merge_rules.json", b"\xfb[]"),
    ])
    def test_a_rejected_value_is_reported_in_one_line_of_text(self, tmp_path, name, content):
        directory = write_model_files(tmp_path, ["a", END_OF_WORD])
        (tmp_path / name).write_bytes(content)
        assert_used_or_rejected_in_one_line(run_python(LOAD_AND_USE, directory))
