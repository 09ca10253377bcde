#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time (FUZZ_SECONDS,
# default 60), starting from the seeds in fuzz/seeds/<target>. Fails on
# the first crash, leak, sanitizer report, timeout or broken invariant; the
# input that caused it is left in build/fuzz/artifacts.
#
#   scripts/fuzz.sh [target...]                  (default: every target)
#   build/fuzz/<target> <input>                  (replays one input)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# clang 16 is the oldest Debian clang whose C++20 library support covers
# <source_location> with libstdc++ 12.
CLANG_VERSION=16
source scripts/debian.sh
install_debian_packages clang-$CLANG_VERSION libclang-rt-$CLANG_VERSION-dev

CXX=clang++-$CLANG_VERSION
SANITIZERS=address,undefined
BUILD=build/fuzz
seconds=${FUZZ_SECONDS:-60}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(basename -s .cpp fuzz/*_fuzzer.cpp)
fi

# The core library, instrumented for coverage; CMake keeps its source list.
# The header-only libraries come from the PyPI packages in .venv (scripts/setup.sh).
python_exe=$PWD/.venv/bin/python
boost_include=$("$python_exe" -c 'import boost_headers; print(boost_headers.get_include())')
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,$SANITIZERS -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
  -DWORDLOOM_BUILD_MODULE=OFF -DPython_EXECUTABLE="$python_exe" >/dev/null
cmake --build "$BUILD" --target wordloom_core

for target in "${targets[@]}"; do
  "$CXX" -std=c++20 -O1 -g -fsanitize=fuzzer,$SANITIZERS -fno-sanitize-recover=undefined -fno-omit-frame-pointer \
    -Isrc -isystem "$boost_include" "fuzz/$target.cpp" "$BUILD/libwordloom_core.a" -pthread -o "$BUILD/$target"
done

mkdir -p "$BUILD/artifacts" "$BUILD/tmp"
export TMPDIR="$PWD/$BUILD/tmp"  # where the targets write their model files
for target in "${targets[@]}"; do
  echo "== $target: ${seconds}s"
  dictionary=()
  if [ -f "fuzz/$target.dict" ]; then dictionary=(-dict="fuzz/$target.dict"); fi
  # New inputs go to the first directory; the seeds stay as they are.
  mkdir -p "$BUILD/corpus/$target"
  log="$BUILD/$target.log"
  if ! "$BUILD/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$BUILD/artifacts/$target-" "${dictionary[@]}" \
      "$BUILD/corpus/$target" "fuzz/seeds/$target" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "$target failed; the input is in $BUILD/artifacts, the whole log in $log" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)|INFO: seed corpus' "$log"
done
