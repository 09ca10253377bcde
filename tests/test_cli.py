"""The `wordloom` command, run as a separate process the way a user runs it:
every command's output, a train -> encode -> decode round trip, progress on
a terminal, and the messages and exit statuses of a user's mistakes."""
import ast
import fcntl
import json
import os
import pty
import random
import select
import signal
import string
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

import wordloom
from conftest import MODEL_FILES

REPO = Path(__file__).resolve().parents[1]
SAMPLE_WORDS = "low lower lowest new newer newest wide wider widest"
# Every printable ASCII character occurs, so any ASCII text can be encoded.
CORPUS = (SAMPLE_WORDS + "\n") * 20 + " ".join(string.ascii_letters + string.digits + string.punctuation) + "\n"
CONSOLE_SCRIPT = Path(sys.executable).with_name("wordloom")


def command(*args):
    """The installed `wordloom` command when there is one, else the package
    run as a module."""
    program = [str(CONSOLE_SCRIPT)] if CONSOLE_SCRIPT.exists() else [sys.executable, "-m", "wordloom_tools"]
    return [*program, *map(str, args)]


def environment(**extra):
    """The package comes from the source tree whether or not it is installed
    (the extension from wherever the suite imports it)."""
    path = os.pathsep.join(filter(None, [str(REPO / "python"), os.environ.get("PYTHONPATH")]))
    return {**os.environ, "PYTHONPATH": path, **extra}


def wordloom_command(*args, stdin=None, **extra_environment):
    return subprocess.run(command(*args), input=stdin, capture_output=True, timeout=300,
                          env=environment(**extra_environment), text=not isinstance(stdin, bytes))


def on_terminal(*args, stdin=subprocess.DEVNULL, terminal_stdin=False):
    """Runs the command with standard error (and, if asked, standard input)
    on a pseudo-terminal; returns the exit status, standard output and what
    reached the terminal."""
    main, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # a new one has no columns
    child = subprocess.Popen(command(*args), stdin=terminal if terminal_stdin else stdin, stdout=subprocess.PIPE,
                             stderr=terminal, env=environment())
    os.close(terminal)
    shown, deadline = b"", time.monotonic() + 120
    while True:
        if not select.select([main], [], [], max(0, deadline - time.monotonic()))[0]:
            child.kill()  # waiting for input that never comes
            break
        try:
            chunk = os.read(main, 4096)
        except OSError:  # every end of the terminal is closed
            break
        if not chunk:
            break
        shown += chunk
    os.close(main)
    stdout = child.stdout.read().decode("utf-8")
    return child.wait(timeout=300), stdout, shown.decode("utf-8", "replace")


def succeeded(result):
    assert result.returncode == 0, result.stderr
    return result.stdout if isinstance(result.stdout, str) else result.stdout.decode("utf-8")


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    path = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    path.write_text(CORPUS, encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def model(corpus, tmp_path_factory):
    directory = tmp_path_factory.mktemp("model")
    succeeded(wordloom_command("train", corpus, "--vocab-size", 120, "--out", directory, "--special-token", "<s>"))
    return directory


@pytest.fixture(scope="module")
def numpy():
    return pytest.importorskip("numpy", reason="numpy reads the arrays back (requirements-dev.txt lists it)")


def saved_model(directory):
    """The tables of a saved model, in a form that compares whole."""
    return {name: json.loads((directory / name).read_bytes()) for name in MODEL_FILES}


def encode_json(model, *args, stdin=None):
    return [json.loads(line) for line in succeeded(wordloom_command("encode", "--model", model, "--json", *args,
                                                                    stdin=stdin)).splitlines()]


def test_version_and_help():
    # command() runs the console script whenever the package is installed.
    assert succeeded(wordloom_command("--version")) == f"wordloom {wordloom.__version__}\n"
    assert succeeded(wordloom_command("--help")).startswith("usage: wordloom ")


class TestTrain:
    def test_saves_a_model_with_the_chosen_settings(self, corpus, tmp_path):
        # The defaults show in the info test.
        out = tmp_path / "nested" / "model"
        result = wordloom_command("train", corpus, "--vocab-size", 100, "--out", out, "--punctuation",
                                  "--special-token", "<s>", "--special-token", "<pad>", "--aho-corasick")
        stdout = succeeded(result)
        assert result.stderr == ""  # no progress when standard error is not a terminal
        assert sorted(path.name for path in out.iterdir()) == sorted(MODEL_FILES)
        assert json.loads((out / "config.json").read_text(encoding="utf-8")) == {
            "target_vocab_size": 100, "pre_tokenizer": "Punctuation", "special_tokens": ["<s>", "<pad>"],
            "special_token_removal_method": "AhoCorasick"}
        assert "vocabulary size  100 (target 100)" in stdout.splitlines()

    def test_files_directories_and_standard_input_count_as_their_concatenation(self, tmp_path):
        # Two words of equal counts: the one seen first is merged first, so the order shows in the model.
        (tmp_path / "texts" / "b").mkdir(parents=True)
        (tmp_path / "texts" / "b" / "1.txt").write_text("wx wx\n", encoding="utf-8")
        (tmp_path / "texts" / "a.txt").write_text("yz yz\n", encoding="utf-8")
        (tmp_path / "texts" / ".hidden.txt").write_text("qq qq qq qq\n", encoding="utf-8")
        (tmp_path / "first.txt").write_text("low low\n", encoding="utf-8")
        whole = tmp_path / "whole.txt"
        whole.write_text("low low\nyz yz\nwx wx\nnew\n", encoding="utf-8")
        succeeded(wordloom_command("train", tmp_path / "first.txt", tmp_path / "texts", "-", "--vocab-size", 15,
                                   "--out", tmp_path / "parts", stdin="new\n"))
        succeeded(wordloom_command("train", whole, "--vocab-size", 15, "--out", tmp_path / "whole"))
        assert saved_model(tmp_path / "parts") == saved_model(tmp_path / "whole")

    def test_reports_a_target_the_corpus_cannot_reach_without_progress_lines(self, corpus, tmp_path):
        stdout = succeeded(wordloom_command("train", corpus, "--vocab-size", 100_000, "--out", tmp_path))
        learned = len(json.loads((tmp_path / "token_table.json").read_text(encoding="utf-8"))["id_to_token"])
        assert f"vocabulary size  {learned} (target 100000)" in stdout.splitlines()
        assert stdout.startswith("trained on ")
        assert "took time" not in stdout and "no more pairs" not in stdout


def test_training_on_a_dask_cluster_learns_the_model_of_training_here(tmp_path):
    distributed = pytest.importorskip("distributed", reason="dask[distributed] is not installed (the dask extra)")
    (tmp_path / "parts").mkdir()
    for number, text in enumerate(["low, lower; lowest.\n", "new newer,newest<s>\n", "(wide) wider widest\n"]):
        (tmp_path / "parts" / f"{number}.txt").write_text(text * (number + 1), encoding="utf-8")
    (tmp_path / "first.txt").write_text("low new wide\n", encoding="utf-8")
    options = [tmp_path / "first.txt", tmp_path / "parts", "--vocab-size", 30, "--special-token", "<s>",
               "--punctuation", "--aho-corasick"]
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False, protocol="tcp://",
                                  dashboard_address=None) as cluster:  # the command reaches it over TCP
        stdout = succeeded(wordloom_command("train", *options, "--out", tmp_path / "cluster",
                                            "--dask", cluster.scheduler_address))
    assert stdout.startswith(f"trained on {tmp_path / 'first.txt'}, {tmp_path / 'parts'} in ")
    succeeded(wordloom_command("train", *options, "--out", tmp_path / "here"))
    assert saved_model(tmp_path / "cluster") == saved_model(tmp_path / "here")


class TestEncodeDecode:
    def test_a_text_round_trips_through_encode_and_decode(self, model):
        [encoded] = encode_json(model, "lowest  newer\twide <s>widest")
        assert encoded["text"] == "lowest  newer\twide <s>widest"
        assert encoded["tokens"][3] == "<s>" and encoded["types"][3] == "specialtoken"
        assert set(encoded["types"]) <= {"word", "subword", "specialtoken"}
        decoded = succeeded(wordloom_command("decode", "--model", model, *encoded["ids"]))
        assert decoded == "lowest newer wide <s> widest \n"

    def test_decode_reads_id_lists_from_standard_input(self, model):
        low, wide = (encode_json(model, text)[0]["ids"] for text in ("lowest newer", "wide widest"))
        inputs = {
            "plain": "\n".join(" ".join(map(str, ids)) for ids in (low, wide)) + "\n",
            "commas": f"{', '.join(map(str, low))},\n\n{','.join(map(str, wide))}",
            "indented json": json.dumps(low, indent=2) + json.dumps(wide, indent=2),
            "encode --json": succeeded(wordloom_command("encode", "--model", model, "--json",
                                                        stdin="lowest newer\nwide widest\n")),
        }
        for name, stdin in inputs.items():
            assert succeeded(wordloom_command("decode", "--model", model, stdin=stdin)) == \
                "lowest newer \nwide widest \n", name

    def test_an_error_record_decodes_to_an_empty_line(self, model):
        encoded = wordloom_command("encode", "--model", model, "--ids", stdin="lowest\nnewé\nwide\n")
        assert encoded.returncode == 1
        assert succeeded(wordloom_command("decode", "--model", model, stdin=encoded.stdout)) == "lowest \n\nwide \n"


def api_ids(model, lines):
    """What the module's own batch encoding gives for each line."""
    return wordloom.BpeTokenizer.load(model).encode_batch(lines)


def id_records(stdout):
    return [json.loads(line) for line in stdout.splitlines()]


class TestEncodeLines:
    """Lines of standard input and files, a block at a time, in every format."""

    LINES = ["lowest newer", "", "wide <s>widest", "  low\tlow  "]

    def test_every_format_gives_the_ids_of_each_line(self, model):
        stdin = "\r\n".join(self.LINES[:2]) + "\r\n" + "\n".join(self.LINES[2:])  # no line end at the end
        expected = api_ids(model, self.LINES)
        tokenizer = wordloom.BpeTokenizer.load(model)
        plain = succeeded(wordloom_command("encode", "--model", model, stdin=stdin)).splitlines()
        assert plain[0::2] == [" ".join(tokenizer.encode(line).tokens) for line in self.LINES]
        assert plain[1::2] == [" ".join(map(str, ids)) for ids in expected]
        ids = succeeded(wordloom_command("encode", "--model", model, "--ids", stdin=stdin))
        assert id_records(ids) == [{"ids": ids} for ids in expected]
        described = encode_json(model, stdin=stdin)
        assert [(record["text"], record["ids"]) for record in described] == list(zip(self.LINES, expected))

    def test_files_and_standard_input_in_the_order_given(self, model, tmp_path):
        (tmp_path / "a.txt").write_text("low\nnew\n", encoding="utf-8")
        (tmp_path / "b.txt").write_text("wide", encoding="utf-8")
        out = tmp_path / "out.jsonl"
        stdout = succeeded(wordloom_command("encode", "--model", model, "--ids", "-i", tmp_path / "a.txt",
                                            "--input", "-", "-i", tmp_path / "b.txt", "--output", out,
                                            stdin="widest\n"))
        assert stdout == ""
        expected = api_ids(model, ["low", "new", "widest", "wide"])
        assert id_records(out.read_text(encoding="utf-8")) == [{"ids": ids} for ids in expected]

    def test_arrays_hold_the_ids_and_where_each_line_starts(self, model, tmp_path, numpy):
        (tmp_path / "lines.txt").write_text("\n".join(self.LINES) + "\n", encoding="utf-8")
        succeeded(wordloom_command("encode", "--model", model, "-i", tmp_path / "lines.txt", "-o", tmp_path / "x.npy"))
        ids, offsets = numpy.load(tmp_path / "x.npy"), numpy.load(tmp_path / "x.offsets.npy")
        assert ids.dtype == numpy.uint32 and offsets.dtype == numpy.uint64
        assert [ids[start:end].tolist() for start, end in zip(offsets, offsets[1:])] == api_ids(model, self.LINES)
        assert sorted(path.name for path in tmp_path.iterdir()) == ["lines.txt", "x.npy", "x.offsets.npy"]

    def test_line_numbers_go_on_from_one_block_to_the_next(self, model, tmp_path, numpy):
        lines = ["low newer wide " * 700] * 1000  # 10.5 MB: more than one block
        lines[949] += "é"
        result = wordloom_command("encode", "--model", model, "--on-unknown", "skip", "-o", tmp_path / "x.npy",
                                  stdin="\n".join(lines))
        assert result.returncode == 0 and result.stderr == (
            "wordloom encode: left out 1 line that could not be encoded, the first at standard input, line 950: "
            "the character 'é' (U+00E9) has no token in the vocabulary\n")
        offsets = numpy.load(tmp_path / "x.offsets.npy")
        [ids] = api_ids(model, lines[:1])
        assert len(offsets) == 1000 and set(numpy.diff(offsets)) == {len(ids)}


class TestUnencodableLines:
    """--on-unknown: lines with characters that have no token, or not UTF-8."""

    STDIN = "low new\nwidé €\nwide\nnewer \xff\n"
    NOT_UTF8 = STDIN.encode("utf-8").replace(b"\xc3\xbf", b"\xff")  # the last line

    def test_error_gives_a_record_per_failed_line_and_a_failed_command(self, model):
        result = wordloom_command("encode", "--model", model, "--ids", stdin=self.NOT_UTF8)
        assert result.returncode == 1
        assert result.stderr.decode("utf-8") == (
            "wordloom encode: error: 2 lines could not be encoded (see the error records), the first at "
            "standard input, line 2: the character 'é' (U+00E9) has no token in the vocabulary\n")
        low, wide = api_ids(model, ["low new", "wide"])
        assert id_records(result.stdout.decode("utf-8")) == [
            {"ids": low},
            {"input": "standard input", "line": 2,
             "error": "the character 'é' (U+00E9) has no token in the vocabulary"},
            {"ids": wide},
            {"input": "standard input", "line": 4, "error": "not valid UTF-8 (byte 0xff at offset 6)"},
        ]

    def test_skip_leaves_the_lines_out(self, model):
        result = wordloom_command("encode", "--model", model, "--json", "--on-unknown", "skip", stdin=self.STDIN)
        assert result.returncode == 0 and "left out 2 lines that could not be encoded" in result.stderr
        assert [record["text"] for record in id_records(result.stdout)] == ["low new", "wide"]
        quiet = wordloom_command("encode", "--model", model, "--on-unknown", "skip", "--quiet", stdin=self.STDIN)
        assert quiet.returncode == 0 and quiet.stderr == ""

    def test_replace_drops_the_characters(self, model):
        stdout = succeeded(wordloom_command("encode", "--model", model, "--ids", "--on-unknown", "replace",
                                            stdin=self.NOT_UTF8))
        assert id_records(stdout) == [{"ids": ids} for ids in api_ids(model, ["low new", "wid ", "wide", "newer "])]

    def test_replace_keeps_special_tokens_whose_characters_have_no_token(self, tmp_path):
        corpus = tmp_path / "corpus.txt"
        corpus.write_text(SAMPLE_WORDS + "\n", encoding="utf-8")  # no "<" or ">"
        model = tmp_path / "model"
        succeeded(wordloom_command("train", corpus, "--vocab-size", 40, "--out", model, "--special-token", "<s>"))
        # The second line loses the characters learned from the first before it is encoded.
        records = encode_json(model, "--on-unknown", "replace", stdin="<s>low<new> <s>\n<s>>wide<<s>\n")
        assert [record["text"] for record in records] == ["<s>lownew <s>", "<s>wide<s>"]
        assert [record["tokens"].count("<s>") for record in records] == [2, 2]

    def test_many_failing_lines_among_many_good_ones(self, model):
        words = random.Random(11)
        lines = [" ".join(words.choice(["low", "newer", "wide", "<s>", "é", "x€"]) for _ in range(words.randint(0, 6)))
                 for _ in range(3000)]
        expected = []
        for number, line in enumerate(lines, start=1):
            unknown = next((character for character in line if character in "é€"), None)
            message = f"the character {unknown!r} (U+{ord(unknown or ' '):04X}) has no token in the vocabulary"
            expected.append({"input": "standard input", "line": number, "error": message}
                            if unknown else {"ids": api_ids(model, [line])[0]})
        result = wordloom_command("encode", "--model", model, "--ids", stdin="\n".join(lines))
        assert result.returncode == 1 and id_records(result.stdout) == expected

    def test_arrays_stop_at_the_first_failed_line_and_leave_no_files(self, model, tmp_path):
        result = wordloom_command("encode", "--model", model, "-o", tmp_path / "x.npy", stdin=self.STDIN)
        assert result.returncode == 1 and result.stderr == (
            "wordloom encode: error: standard input, line 2: the character 'é' (U+00E9) has no token in the "
            "vocabulary (no arrays written)\n")
        assert list(tmp_path.iterdir()) == []


def test_info_shows_size_merges_and_settings(model):
    merges = json.loads((model / "merge_rules.json").read_text(encoding="utf-8"))
    lines = succeeded(wordloom_command("info", "--model", model)).splitlines()
    assert lines == [f"model            {model}", "vocabulary size  120 (target 120)", f"merges           {len(merges)}",
                     "pre-tokenizer    Whitespace", 'special tokens   "<s>"', "removal method   Simple"]


class TestDemo:
    def fields(self, stdout):
        return dict(line.split(maxsplit=1) for line in stdout.splitlines() if line and not line.startswith(" "))

    def test_encodes_a_line_of_the_corpus_it_trained_on(self, tmp_path):
        corpus = tmp_path / "corpus.txt"
        corpus.write_text("".join(f"{word} fox {word}s jumped over {word}\n" for word in ("quick", "lazy", "brown")),
                          encoding="utf-8")
        stdout = succeeded(wordloom_command("demo", "--corpus", corpus, "--vocab-size", 40, "--out", tmp_path / "m"))
        fields = self.fields(stdout)
        sample, decoded = ast.literal_eval(fields["sample"]), ast.literal_eval(fields["decoded"])
        assert sample == "lazy fox lazys jumped over lazy"  # the line past the middle
        assert decoded == sample + " "
        assert len(fields["tokens"].split()) == len(fields["ids"].split())
        assert fields["vocabulary"] == "size   40 tokens (target 40)"
        text = corpus.read_text(encoding="utf-8")
        tokens = sum(len(line["ids"]) for line in encode_json(tmp_path / "m", stdin=text))
        assert fields["compression"].startswith(f"{len(text) / tokens:.2f} characters per token")

    def test_trains_on_the_standard_library_and_keeps_no_model_by_default(self, tmp_path):
        stdout = succeeded(wordloom_command("demo", "--vocab-size", 500, TMPDIR=str(tmp_path)))
        assert "MB)" in stdout.splitlines()[0] and "stdlib" in stdout.splitlines()[0]
        assert "decoded   " in stdout and "training time" in stdout and "The model was not kept" in stdout
        assert list(tmp_path.iterdir()) == [tmp_path / "wordloom"]  # the cached corpus, and no model


class TestProgress:
    """Progress goes to standard error only when that is a terminal, and
    --quiet turns it off."""

    def test_training_shows_bytes_read_then_merges_on_a_terminal(self, corpus, tmp_path):
        status, stdout, shown = on_terminal("train", corpus, corpus, "--vocab-size", 100, "--out", tmp_path / "a")
        assert status == 0 and stdout.startswith("trained on ")
        size = f"{2 * corpus.stat().st_size / 1024:.2f}k"
        assert "reading: 100%" in shown and f"{size}/{size}" in shown
        assert "merging: 100%" in shown and " merges" in shown
        with open(corpus, "rb") as stdin:  # the bytes of each part add up, with no end known
            status, _, shown = on_terminal("train", corpus, "-", corpus, "--vocab-size", 100, "--out", tmp_path / "b",
                                           stdin=stdin)
        assert status == 0 and f"reading: {3 * corpus.stat().st_size / 1024:.2f}kB" in shown
        status, _, shown = on_terminal("train", corpus, "--vocab-size", 100, "--out", tmp_path / "b", "--quiet")
        assert status == 0 and shown == ""

    def test_encoding_standard_input_counts_bytes(self, model, tmp_path):
        lines = tmp_path / "lines.txt"
        lines.write_text("low new wide\n" * 1000, encoding="utf-8")
        with open(lines, "rb") as stdin:
            status, stdout, shown = on_terminal("encode", "--model", model, stdin=stdin)
        assert status == 0 and len(stdout.splitlines()) == 2000
        assert "encoding:" in shown and "/12.7k " in shown  # the bar ends at the size of the input
        status, _, shown = on_terminal("encode", "--model", model, "-i", lines, "-i", lines, "-o", tmp_path / "x.npy")
        assert status == 0 and "/25.4k " in shown  # both files


class TestUserMistakes:
    """Each mistake gives a one-line message (after the usage lines for wrong
    usage, status 2; alone otherwise, status 1) and never a traceback."""

    def check(self, result, status, message):
        stderr = result.stderr if isinstance(result.stderr, str) else result.stderr.decode("utf-8")
        assert result.returncode == status, stderr
        assert message in stderr.splitlines()[-1]
        assert status == 2 or len(stderr.splitlines()) == 1
        assert "Traceback" not in stderr and "internal failure" not in stderr

    @pytest.mark.parametrize("args, message", [
        (["train", "absent.txt", "--vocab-size", "10", "--out", "m"], "argument CORPUS: no such file: absent.txt"),
        (["train", "{tmp}", "--vocab-size", "10", "--out", "m"], "argument CORPUS: {tmp} holds no files"),
        (["train", "-", "--vocab-size", "10", "--out", "m", "--dask", "tcp://localhost:1"],
         "--dask counts files on the cluster, not standard input"),
        (["encode", "--model", "{model}", "low", "--input", "{corpus}"], "give TEXT or --input, not both"),
        (["encode", "--model", "{model}", "--input", "absent.txt"], "argument -i/--input: no such file: absent.txt"),
        (["encode", "--model", "{model}", "low", "--output", "{tmp}"], "argument -o/--output: {tmp} is a directory"),
        (["encode", "--model", "{model}", "low", "-o", "nowhere/x"],
         "argument -o/--output: no such directory: nowhere"),
        (["encode", "--model", "{model}", "low", "--ids", "-o", "{tmp}/x.npy"],
         "an .npy output holds ids only: leave out --json and --ids"),
        (["encode", "--model", "{model}", "low", "--ids", "--json"],
         "argument --json: not allowed with argument --ids"),
        (["encode", "--model", "{model}", "low", "--on-unknown", "drop"],
         "argument --on-unknown: invalid choice: 'drop'"),
        (["train", "{corpus}", "--vocab-size", "ten", "--out", "m"],
         "argument --vocab-size: expected a positive whole number, got 'ten'"),
        (["train", "{corpus}", "--vocab-size", "0", "--out", "m"], "expected a positive whole number, got '0'"),
        (["train", "{corpus}", "--vocab-size", "10", "--out", "{corpus}"], "exists and is not a directory"),
        (["encode", "--model", "absent", "text"], "argument --model: no such directory: absent"),
        (["decode", "--model", "{model}", "-1"], "expected a token id (a whole number from 0 to 4294967295), got '-1'"),
        ([], "the following arguments are required: COMMAND"),
    ])
    def test_wrong_usage_exits_with_status_2(self, corpus, model, tmp_path, args, message):
        places = {"corpus": corpus, "model": model, "tmp": tmp_path}
        self.check(wordloom_command(*(arg.format(**places) for arg in args)), 2, message.format(**places))

    @pytest.mark.parametrize("args, message", [
        (["encode", "--model", "{model}"],
         "give TEXT or --input FILE, or pipe text into standard input to encode each line"),
        (["encode", "--model", "{model}", "--input", "-"],
         "give TEXT or --input FILE, or pipe text into standard input to encode each line"),
        (["decode", "--model", "{model}"], "give token ids, or pipe them into standard input"),
        (["train", "-", "--vocab-size", "10", "--out", "{model}/m"],
         "pipe a corpus into standard input, or give files or directories"),
    ])
    def test_input_expected_from_a_terminal_is_a_usage_error(self, model, args, message):
        status, _, shown = on_terminal(*(arg.format(model=model) for arg in args), terminal_stdin=True)
        assert status == 2 and shown.splitlines()[-1].endswith(f"error: {message}")

    def test_an_output_directory_that_cannot_be_made(self, corpus):
        self.check(wordloom_command("train", corpus, "--vocab-size", "10", "--out", f"{corpus}/model"), 1,
                   f"wordloom train: error: cannot create {corpus}/model: not a directory")

    def test_a_corpus_that_is_not_utf8_leaves_no_output_directory(self, tmp_path):
        corpus = tmp_path / "latin1.txt"
        corpus.write_bytes("café au lait\n".encode("latin-1"))
        result = wordloom_command("train", corpus, "--vocab-size", "10", "--out", tmp_path / "model")
        self.check(result, 1, f"wordloom train: error: '{corpus}' is not valid UTF-8: no character can start at "
                              "byte offset 3")
        assert not (tmp_path / "model").exists()
        lines = b"low low\n" * 1_100_000  # more than one block
        result = wordloom_command("train", "-", "--vocab-size", "10", "--out", tmp_path / "model",
                                  stdin=lines + "café au lait\n".encode("latin-1"))
        self.check(result, 1, "wordloom train: error: standard input: not valid UTF-8 "
                              f"(byte 0xe9 at offset {len(lines) + 3})")
        assert not (tmp_path / "model").exists()

    def test_a_model_that_cannot_be_saved(self, corpus, tmp_path):
        out = tmp_path / "model"
        out.mkdir()
        (out / "merge_rules.json").mkdir()  # in the way of the file
        self.check(wordloom_command("train", corpus, "--vocab-size", "10", "--out", out), 1,
                   f"wordloom train: error: cannot save the model to {out}: is a directory")

    def test_dask_without_the_dask_extra(self, corpus, tmp_path):
        absent = tmp_path / "absent"  # a package that fails to import, in front of an installed one
        (absent / "distributed").mkdir(parents=True)
        (absent / "distributed" / "__init__.py").write_text("raise ImportError(\"No module named 'distributed'\")\n")
        result = wordloom_command("train", corpus, "--vocab-size", "10", "--out", tmp_path / "m", "--dask", "tcp://x:1",
                                  PYTHONPATH=os.pathsep.join([str(absent), environment()["PYTHONPATH"]]))
        self.check(result, 1, "wordloom train: error: --dask needs the dask extra: pip install 'wordloom[dask]' "
                              "(No module named 'distributed')")
        assert not (tmp_path / "m").exists()

    def test_a_dask_scheduler_that_cannot_be_reached(self, corpus, tmp_path):
        pytest.importorskip("distributed", reason="dask[distributed] is not installed (the dask extra)")
        result = wordloom_command("train", corpus, "--vocab-size", "10", "--out", tmp_path / "m",
                                  "--dask", "tcp://127.0.0.1:1", DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="1s")
        self.check(result, 1, "wordloom train: error: cannot reach the Dask scheduler at tcp://127.0.0.1:1: ")
        assert not (tmp_path / "m").exists()

    def test_a_directory_without_every_model_file_is_refused_before_loading(self, model, tmp_path):
        (tmp_path / "config.json").write_bytes((model / "config.json").read_bytes())
        (tmp_path / "merge_rules.json").write_bytes((model / "merge_rules.json").read_bytes())
        self.check(wordloom_command("encode", "--model", tmp_path, "text"), 2, f"{tmp_path} is not a wordloom model "
                              "(missing token_table.json, save_ranks.json, pairs_to_merge.json)")

    @pytest.fixture
    def copy_of_model(self, model, tmp_path):
        for name in MODEL_FILES:
            (tmp_path / name).write_bytes((model / name).read_bytes())
        return tmp_path

    @pytest.mark.parametrize("command", [["info"], ["decode", "1"]])  # read alone, or by loading the model
    def test_a_model_file_that_is_not_json_is_named(self, copy_of_model, command):
        (copy_of_model / "config.json").write_text("{not json", encoding="utf-8")
        self.check(wordloom_command(command[0], "--model", copy_of_model, *command[1:]), 1,
                   f"cannot read {copy_of_model / 'config.json'}: not valid JSON (Expecting property name")

    def test_a_model_file_of_the_wrong_shape(self, copy_of_model):
        (copy_of_model / "token_table.json").write_text("[1, 2]", encoding="utf-8")
        self.check(wordloom_command("encode", "--model", copy_of_model, "text"), 1,
                   f"wordloom encode: error: cannot load the model in {copy_of_model}: token_table.json does not "
                   "hold what it should (invalid type: integer `1`, expected a sequence at line 1 column 2)")

    def test_a_model_file_that_cannot_be_read(self, copy_of_model):
        (copy_of_model / "merge_rules.json").unlink()
        (copy_of_model / "merge_rules.json").symlink_to("/proc/self/mem")  # reading it fails, even for root
        self.check(wordloom_command("decode", "--model", copy_of_model, "1"), 1,
                   f"wordloom decode: error: cannot read {copy_of_model / 'merge_rules.json'}: input/output error")

    def test_plain_output_stops_at_the_first_line_that_cannot_be_encoded(self, model):
        self.check(wordloom_command("encode", "--model", model, "low €5"), 1,
                   "wordloom encode: error: TEXT: the character '€' (U+20AC) has no token in the vocabulary")
        self.check(wordloom_command("encode", "--model", model, stdin="low\nnew ü\n"), 1,
                   "wordloom encode: error: standard input, line 2: the character 'ü' (U+00FC) has no token")
        self.check(wordloom_command("encode", "--model", model, stdin=b"low\nlow \xff\n"), 1,
                   "wordloom encode: error: standard input, line 2: not valid UTF-8 (byte 0xff at offset 4)")

    @pytest.mark.parametrize("stdin, message", [
        ("1 2\n3 low</w>\n", "standard input, line 2: expected a token id (a whole number from 0 to 4294967295), "
                             "got 'low</w>'"),
        ("[1, 2]\n\n[3, -4]\n", "standard input, line 3: expected a list of token ids, got [3, -4]"),
        ('{"ids": [1]}\n{"tokens": []}', "standard input, line 2: expected a list of token ids, got {\"tokens\": []}"),
        ("[1, 2]\n[3,", "standard input, line 2: not valid JSON (Expecting value)"),
        (b"1 \xff\n", "standard input: not valid UTF-8 (byte 0xff at offset 2)"),
    ])
    def test_ids_on_standard_input_that_are_not_ids(self, model, stdin, message):
        self.check(wordloom_command("decode", "--model", model, stdin=stdin), 1, f"wordloom decode: error: {message}")


class TestEndings:
    """Ctrl-C and a reader that goes away end the command quietly."""

    def start(self, *args):
        return subprocess.Popen(command(*args), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=environment(), text=True)

    def interrupt_once_there(self, child, path):
        deadline = time.monotonic() + 60
        while not path.exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        self.interrupt(child)

    def interrupt(self, child):
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=60) == 130
        assert child.stderr.read() == "wordloom: interrupted\n"

    def test_input_that_pauses_is_waited_for(self, model):
        child = self.start("encode", "--model", model)
        for word in ("low", "new"):
            child.stdin.write(f"{word}\n")
            child.stdin.flush()
            assert child.stdout.readline() == f"{word}</w>\n"
            child.stdout.readline()  # its ids
            time.sleep(0.5)  # longer than the command's waits for input last before they wake
        child.stdin.close()
        assert child.wait(timeout=60) == 0

    def test_ctrl_c_while_waiting_for_input(self, model):
        child = self.start("encode", "--model", model)
        child.stdin.write("low\n")
        child.stdin.flush()
        assert child.stdout.readline() == "low</w>\n"  # the next read waits for more
        self.interrupt(child)

    def test_ctrl_c_while_writing_arrays_leaves_no_files(self, model, tmp_path):
        child = self.start("encode", "--model", model, "-o", tmp_path / "x.npy")
        child.stdin.write("low\n")
        child.stdin.flush()
        self.interrupt_once_there(child, tmp_path / "x.offsets.npy.partial")
        assert list(tmp_path.iterdir()) == []

    def test_ctrl_c_during_training_leaves_no_model_directory(self, tmp_path):
        words = random.Random(7)
        corpus = tmp_path / "random.txt"
        corpus.write_text(" ".join("".join(words.choices(string.ascii_lowercase, k=words.randint(3, 9)))
                                   for _ in range(300_000)), encoding="utf-8")
        out = tmp_path / "model"
        child = self.start("train", corpus, "--vocab-size", 10**9, "--out", out)
        self.interrupt_once_there(child, out)  # made just before counting starts
        assert child.stdout.read() == "" and not out.exists()

    def test_a_closed_output_pipe_is_not_an_error_message(self, model):
        child = self.start("encode", "--model", model)
        child.stdout.close()  # like `| head` that has read enough
        _, stderr = child.communicate("low new wide\n" * 100_000, timeout=300)
        assert child.returncode == 1 and stderr == ""
