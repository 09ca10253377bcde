"""Encodes every file of a corpus directory with a wordloom model, on all
cores, into two .npy arrays: the ids of all files one after another, and the
offsets where each file's ids start (one more than the files, the last one
the number of ids), so that file i is ids[offsets[i]:offsets[i + 1]].

    python encode_directory.py MODEL_DIR CORPUS_DIR OUT_PREFIX [--batch-mb 64] [--threads N]

writes OUT_PREFIX.ids.npy, OUT_PREFIX.offsets.npy and OUT_PREFIX.files.txt
(the relative paths, one a line). Files are read in the order of their paths,
a batch of about --batch-mb MB at a time, so memory stays near one batch and
its ids whatever the corpus size. Each file is one text: numpy.load of the
outputs with mmap_mode="r" reads them back without loading them whole."""
import argparse
import sys
from array import array
from pathlib import Path

import wordloom
from wordloom_tools.npy import NpyWriter


def corpus_files(directory: Path) -> list[Path]:
    """The regular files under `directory`, hidden ones left out, by path."""
    return sorted(path for path in directory.rglob("*")
                  if path.is_file() and not any(part.startswith(".") for part in path.relative_to(directory).parts))


def batches(files: list[Path], batch_bytes: int):
    """The files in runs of about `batch_bytes` bytes: (paths, texts)."""
    paths, texts, size = [], [], 0
    for path in files:
        texts.append(path.read_text(encoding="utf-8"))
        paths.append(path)
        size += len(texts[-1])
        if size >= batch_bytes:
            yield paths, texts
            paths, texts, size = [], [], 0
    if texts:
        yield paths, texts


def encode_directory(tokenizer: wordloom.BpeTokenizer, directory: Path, prefix: Path, batch_bytes: int,
                     threads: int | None) -> tuple[int, int]:
    """Writes the three outputs; returns the numbers of files and ids."""
    files = corpus_files(directory)
    total = 0
    with NpyWriter(Path(f"{prefix}.ids.npy"), "I") as ids_out, \
            NpyWriter(Path(f"{prefix}.offsets.npy"), "Q") as offsets_out:
        offsets_out.write(array("Q", [0]))
        for paths, texts in batches(files, batch_bytes):
            try:
                ids, offsets = tokenizer.encode_batch_arrays(texts, num_threads=threads)
            except ValueError as error:  # a character the model never saw, in "text INDEX: cause"
                index, cause = str(error).split(": ", 1)
                raise SystemExit(f"{paths[int(index.removeprefix('text '))]}: {cause}") from None
            ids_out.write(ids)  # the native buffer itself, no copy into Python integers
            offsets_out.write(array("Q", (total + end for end in offsets[1:])))
            total += len(ids)
    Path(f"{prefix}.files.txt").write_text("".join(f"{path.relative_to(directory)}\n" for path in files),
                                           encoding="utf-8")
    return len(files), total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("model", type=Path)
    parser.add_argument("corpus", type=Path)
    parser.add_argument("prefix", type=Path)
    parser.add_argument("--batch-mb", type=float, default=64)
    parser.add_argument("--threads", type=int, default=None, help="native threads (default: one per CPU)")
    options = parser.parse_args()
    tokenizer = wordloom.BpeTokenizer.load(options.model)
    files, ids = encode_directory(tokenizer, options.corpus, options.prefix, int(options.batch_mb * 1e6),
                                  options.threads)
    print(f"{files} files, {ids} ids: {options.prefix}.ids.npy, {options.prefix}.offsets.npy", file=sys.stderr)


if __name__ == "__main__":
    main()
