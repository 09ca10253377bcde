"""The worked example in docs/examples, run as a user runs it: a corpus
directory encoded into .npy arrays that read back as encode_batch's ids."""
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[1] / "docs" / "examples" / "encode_directory.py"


def run_example(*args):
    return subprocess.run([sys.executable, EXAMPLE, *map(str, args)], capture_output=True, text=True, timeout=120)


@pytest.fixture
def model(trained, tmp_path):
    trained.save_pretrained(tmp_path / "model")
    return tmp_path / "model"


def test_a_directory_becomes_ids_and_offsets_in_path_order(trained, model, tmp_path):
    numpy = pytest.importorskip("numpy", reason="numpy is not installed (requirements-dev.txt lists it)")
    texts = {"b.txt": "wide wider\n", "a/z.txt": "low lower lowest\n", "a/.x/hidden": "skipped",
             "empty.txt": "", ".hidden.txt": "skipped"}
    for name, text in texts.items():
        (tmp_path / "corpus" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "corpus" / name).write_text(text, encoding="utf-8")
    # A batch of one byte puts every file in a batch of its own.
    result = run_example(model, tmp_path / "corpus", tmp_path / "out", "--batch-mb", "0.000001")
    assert result.returncode == 0, result.stderr
    names = ["a/z.txt", "b.txt", "empty.txt"]
    assert (tmp_path / "out.files.txt").read_text(encoding="utf-8").split() == names
    ids = numpy.load(tmp_path / "out.ids.npy", mmap_mode="r")
    offsets = numpy.load(tmp_path / "out.offsets.npy")
    assert (ids.dtype, offsets.dtype) == (numpy.uint32, numpy.uint64)
    expected = trained.encode_batch([texts[name] for name in names])
    assert [ids[start:end].tolist() for start, end in zip(offsets, offsets[1:])] == expected


def test_an_unknown_character_names_its_file(model, tmp_path):
    (tmp_path / "corpus").mkdir()
    (tmp_path / "corpus" / "a.txt").write_text("low", encoding="utf-8")
    (tmp_path / "corpus" / "b.txt").write_text("low q", encoding="utf-8")
    result = run_example(model, tmp_path / "corpus", tmp_path / "out")
    assert result.returncode == 1
    assert result.stderr == f"{tmp_path / 'corpus' / 'b.txt'}: the character 'q' (U+0071) has no token in the vocabulary\n"
    assert not (tmp_path / "out.ids.npy").exists()
