"""What the installed distribution promises beyond the classes: its version,
an unchanged public namespace, and type information that mypy accepts."""
import importlib.metadata
import re
import tomllib
from pathlib import Path

import pytest

import wordloom

REPO = Path(__file__).resolve().parents[1]
PUBLIC_NAMES = ["BpeTokenizer", "Encoder", "PreTokenization", "SpecialTokenRemovalMethod", "TokenType"]


def project_version():
    return tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]


class TestVersion:
    def test_the_module_carries_the_project_version(self):
        assert wordloom.__version__ == project_version()

    def test_a_plain_cmake_build_falls_back_to_the_same_version(self):
        cmake = (REPO / "CMakeLists.txt").read_text(encoding="utf-8")
        assert re.search(r"^project\(wordloom VERSION (\S+)", cmake, re.MULTILINE).group(1) == project_version()

    def test_the_installed_metadata_agrees(self):
        try:
            installed = importlib.metadata.version("wordloom")
        except importlib.metadata.PackageNotFoundError:
            pytest.skip("wordloom is not installed in this interpreter's environment")
        assert installed == wordloom.__version__


def test_the_public_names_are_the_five_classes():
    assert [name for name in dir(wordloom) if not name.startswith("_")] == PUBLIC_NAMES
