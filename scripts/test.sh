#!/usr/bin/env bash
# Builds wordloom and runs every test: the C++ unit tests, the Python suite
# against the installed package, the checks of the wheel, and the Python suite
# once more against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
source "$(dirname "$0")/setup.sh"

python_exe=$(.venv/bin/python -c 'import sys; print(sys.executable)')

# The core and its tests need no Python development files: the module is left out.
cmake -S . -B build/unit -G Ninja -DWORDLOOM_BUILD_TESTS=ON -DWORDLOOM_BUILD_MODULE=OFF \
  -DPython_EXECUTABLE="$python_exe" >/dev/null
cmake --build build/unit
ctest --test-dir build/unit --output-on-failure

.venv/bin/python -m pytest -q

bash scripts/check_wheel.sh

cmake -S . -B build/sanitize -G Ninja -DWORDLOOM_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python_exe" >/dev/null
cmake --build build/sanitize --target wordloom wordloom_tools_native wordloom_tools_package
sanitizer_runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$sanitizer_runtimes" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  PYTHONPATH=build/sanitize WORDLOOM_EXPECT_SANITIZED=1 .venv/bin/python -m pytest -q -p no:cacheprovider

# Coverage-guided fuzzing of the model reader, encoding and training, bounded in time.
bash scripts/fuzz.sh
