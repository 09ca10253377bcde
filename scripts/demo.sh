#!/usr/bin/env bash
# The main job: sets wordloom up (Debian packages, .venv, the package with its
# `wordloom` command) and runs its demo, which trains on this Python's
# standard library and encodes and decodes a sample. Arguments go to
# `wordloom demo`, e.g. --vocab-size 32000 --out model.
source "$(dirname "$0")/setup.sh"
.venv/bin/wordloom demo "$@"
