"""What the distribution promises beyond the classes: its version and type
information that mypy accepts."""
import importlib.metadata
import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import wordloom

REPO = Path(__file__).resolve().parents[1]


def project_version():
    return tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]


class TestVersion:
    def test_the_module_and_a_plain_cmake_build_carry_the_project_version(self):
        assert wordloom.__version__ == project_version()
        cmake = (REPO / "CMakeLists.txt").read_text(encoding="utf-8")
        assert re.search(r"^project\(wordloom VERSION (\S+)", cmake, re.MULTILINE).group(1) == project_version()


class TestTypes:
    @pytest.fixture(autouse=True)
    def needs_mypy(self):
        pytest.importorskip("mypy", reason="mypy is not installed (requirements-dev.txt lists it)")

    def mypy(self, *args, tool="mypy"):
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


def test_the_installed_distribution_has_the_version_and_type_information():
    try:
        installed = importlib.metadata.distribution("wordloom")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("wordloom is not installed in this interpreter's environment")
    assert installed.version == wordloom.__version__
    assert {"wordloom.pyi", "wordloom_tools/py.typed"} <= {str(path) for path in installed.files}
