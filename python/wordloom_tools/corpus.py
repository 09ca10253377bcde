"""A corpus that every machine has: the .py files of the running
interpreter's standard library, concatenated in path order (about 30 MB)."""
import os
import sys
import sysconfig
import tempfile
from collections.abc import Callable, Iterable
from pathlib import Path

DEFAULT_CACHE = Path(tempfile.gettempdir()) / "wordloom"


def stdlib_sources() -> list[Path]:
    """The standard library's .py files in path order; installed packages are not part of it."""
    root = Path(sysconfig.get_paths()["stdlib"])
    return sorted(path for path in root.rglob("*.py") if "site-packages" not in path.relative_to(root).parts)


def stdlib_corpus(cache_dir: str | os.PathLike[str] = DEFAULT_CACHE,
                  track: Callable[[list[Path]], Iterable[Path]] = iter) -> Path:
    """The path of the corpus file in `cache_dir`, built on first use from
    the sources that `track` hands out (it may show progress). Files that
    are not valid UTF-8 are left out."""
    cache_dir = Path(cache_dir)
    path = cache_dir / f"stdlib-py{sys.version_info.major}{sys.version_info.minor}.txt"
    if path.exists():
        return path
    cache_dir.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(f".{os.getpid()}.tmp")
    with open(partial, "w", encoding="utf-8", newline="") as corpus:
        for source in track(stdlib_sources()):
            try:
                corpus.write(source.read_bytes().decode("utf-8"))
            except UnicodeDecodeError:
                continue
            corpus.write("\n")
    partial.replace(path)  # atomic, so a half-written corpus is never reused
    return path
