"""The pipeline behind `wordloom encode`: the native formatting of its output
(wordloom_tools._native), where lines of ids and tokens built from the arrays
of encode_batch_arrays match a plain Python rendering of the same arrays,
shifted offsets match adding in Python, and arrays that do not fit together
are refused, never read past; and the thread that reads its input, whose
failures still end the command."""
import os
import subprocess
import sys
from array import array
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

import wordloom_tools
from wordloom_tools._native import joined_lines, shifted

IDS = (b'{"ids": [', None, b", ", b"]}\n")


def python_lines(ids, offsets, fields):
    """What joined_lines makes, written the slow and obvious way."""
    out = []
    for start, end in zip(offsets, offsets[1:]):
        for prefix, table, separator, suffix in fields:
            entries = [str(i).encode() if table is None else table[i] for i in ids[start:end]]
            out.append(prefix + separator.join(entries) + suffix)
    return b"".join(out)


@st.composite
def batches(draw):
    """(ids, offsets, fields): texts of up to 6 ids each, a decimal field and
    a field of a table that covers every id."""
    texts = draw(st.lists(st.lists(st.integers(0, 40), max_size=6), max_size=8))
    table = draw(st.lists(st.binary(max_size=4), min_size=41, max_size=41))
    separators = draw(st.lists(st.binary(max_size=3), min_size=6, max_size=6))
    fields = [(separators[0], table, separators[1], separators[2]), (separators[3], None, separators[4], separators[5])]
    ids = array("I", [i for text in texts for i in text])
    offsets = array("Q", [0])
    for text in texts:
        offsets.append(offsets[-1] + len(text))
    return ids, offsets, draw(st.permutations(fields))


class TestJoinedLines:
    @given(batches())
    def test_matches_the_python_rendering(self, batch):
        ids, offsets, fields = batch
        assert joined_lines(ids, offsets, fields) == python_lines(ids, offsets, fields)

    def test_ids_print_in_full_decimal(self):
        ids = array("I", [0, 9, 10, 4_294_967_295])
        assert joined_lines(ids, array("Q", [0, 1, 1, 4]), [IDS]) == (
            b'{"ids": [0]}\n{"ids": []}\n{"ids": [9, 10, 4294967295]}\n')

    def test_reads_the_arrays_of_encode_batch_arrays(self, trained):
        ids, offsets = trained.encode_batch_arrays(["lowest newer", "", "wide"])
        assert joined_lines(ids, offsets, [IDS]) == python_lines(ids.tolist(), offsets.tolist(), [IDS])

    @pytest.mark.parametrize(("ids", "offsets", "fields", "message"), [
        ([1, 2], [0, 3], [IDS], "offsets must not decrease nor go past the end of the ids"),
        ([1, 2], [0, 2, 1], [IDS], "offsets must not decrease nor go past the end of the ids"),
        ([1, 2], [0, 2], [(b"", [b"a", b"b"], b"", b"")], "id 2 is past the end of a table of 2 entries"),
    ])
    def test_arrays_that_do_not_fit_are_refused(self, ids, offsets, fields, message):
        with pytest.raises(ValueError, match=f"^{message}$"):
            joined_lines(array("I", ids), array("Q", offsets), fields)

    @pytest.mark.parametrize(("ids", "offsets", "fields", "error"), [
        (array("i", [1]), array("Q", [0, 1]), [IDS], "argument 'ids': expected a one-dimensional buffer of format 'I'"),
        (array("I", [1]), array("I", [0, 1]), [IDS], "argument 'offsets': .* format 'Q'"),
        (b"\0\0\0\0", array("Q", [0, 1]), [IDS], "argument 'ids': .* format 'I'"),
        (array("I", [1]), array("Q", [0, 1]), [(b"", None, b"")], "argument 'fields':"),
        (array("I", [1]), array("Q", [0, 1]), [(b"", [b"a", "b"], b"", b"")], "argument 'fields':"),
        (array("I", [1]), array("Q", [0, 1]), [("", None, b"", b"")], "argument 'fields':"),
    ])
    def test_arguments_of_the_wrong_kind_are_refused(self, ids, offsets, fields, error):
        with pytest.raises(TypeError, match=error):
            joined_lines(ids, offsets, fields)


class TestShifted:
    @given(st.lists(st.integers(0, 2**63), max_size=20), st.integers(0, 2**63 - 1))
    def test_adds_the_amount_to_each_number(self, numbers, amount):
        assert array("Q", shifted(array("Q", numbers), amount)).tolist() == [n + amount for n in numbers]

    def test_a_sum_past_64_bits_is_refused(self):
        with pytest.raises(OverflowError, match="exceeds 2\\*\\*64 - 1"):
            shifted(array("Q", [0, 2**63]), 2**63)
        with pytest.raises(OverflowError):
            shifted(array("Q", [0]), 2**64)


def test_a_failed_read_ends_the_command_with_its_error(trained, tmp_path):
    trained.save_pretrained(tmp_path)
    package_root = str(Path(wordloom_tools.__file__).parents[1])
    path = os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))
    # Reading the start of one's own memory fails with EIO: no page is mapped there.
    result = subprocess.run([sys.executable, "-m", "wordloom_tools", "encode", "--model", tmp_path, "--ids",
                             "--input", "/proc/self/mem"], capture_output=True, text=True, timeout=120,
                            env={**os.environ, "PYTHONPATH": path})
    assert (result.returncode, result.stdout, result.stderr) == (1, "", "wordloom encode: error: input/output error\n")
