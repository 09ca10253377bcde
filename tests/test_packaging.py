"""What the installed distribution promises beyond the classes: its version,
an unchanged public namespace, and type information that mypy accepts."""
import importlib.metadata
import re
import subprocess
import sys
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


class TestTypes:
    """The stub of the extension matches the module, and typed code that uses
    wordloom and wordloom_tools passes `mypy --strict`."""

    @pytest.fixture(autouse=True)
    def needs_mypy(self):
        pytest.importorskip("mypy", reason="mypy is not installed (requirements-dev.txt lists it)")

    def mypy(self, *args, tool="mypy"):
        """Runs mypy (or one of its tools) with the settings in pyproject.toml."""
        return subprocess.run([sys.executable, "-m", tool, *args], cwd=REPO, capture_output=True, text=True,
                              timeout=600)

    def test_the_stub_matches_the_module(self):
        result = self.mypy("--mypy-config-file", "pyproject.toml", "wordloom", "wordloom_tools._native",
                           tool="mypy.stubtest")
        assert result.returncode == 0, result.stdout + result.stderr

    def test_wrong_uses_are_refused_and_nothing_else(self):
        example = REPO / "tests" / "typing" / "example.py"
        expected = {(number, line.split("# expect-error: ")[1])
                    for number, line in enumerate(example.read_text(encoding="utf-8").splitlines(), start=1)
                    if "# expect-error: " in line}
        result = self.mypy(str(example))
        found = {(int(number), code) for number, code in
                 re.findall(r"^.*example\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.MULTILINE)}
        assert found == expected, result.stdout

    def test_the_tools_are_typed(self):
        result = self.mypy("python/wordloom_tools")
        assert result.returncode == 0, result.stdout


def test_the_wheel_ships_the_type_information():
    try:
        files = {str(path) for path in importlib.metadata.files("wordloom")}
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("wordloom is not installed in this interpreter's environment")
    assert {"wordloom.pyi", "wordloom_tools/py.typed"} <= files
