"""The benchmark corpus: the standard library's .py sources that `wordloom
demo` trains on too, kept with the trained models in the benchmark cache."""
import os
import tempfile
from pathlib import Path

from wordloom_tools.corpus import stdlib_corpus as build_stdlib_corpus


def cache_dir():
    """The directory where benchmark inputs and models are kept between runs."""
    path = Path(os.environ.get("WORDLOOM_BENCH_CACHE", Path(tempfile.gettempdir()) / "wordloom-bench"))
    path.mkdir(parents=True, exist_ok=True)
    return path


def stdlib_corpus():
    """The path of the corpus file, built on first use."""
    return build_stdlib_corpus(cache_dir())


if __name__ == "__main__":
    print(stdlib_corpus())
