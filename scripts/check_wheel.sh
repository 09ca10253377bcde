#!/usr/bin/env bash
# Builds the wheel as `pip install` does for a user (isolated, with nothing but
# the build requirements of pyproject.toml and a C++ compiler), checks that it
# was compiled against those requirements' headers, that it needs no shared
# library beyond the C and C++ runtimes and each module exports nothing but
# its entry point, then installs it into a fresh virtual environment and runs the
# demo from there. Needs .venv (scripts/setup.sh) for auditwheel and ninja.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

work=$PWD/build/wheel
rm -rf "$work"
mkdir -p "$work"
log=$work/step.log

fail() {
  echo "check_wheel: $*" >&2
  exit 1
}

# Runs a command with its output in $log, shown only when it fails.
quietly() {
  "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "failed: $*"; }
}

echo "== wheel: building in isolation"
quietly .venv/bin/python -m pip wheel . --no-deps --wheel-dir "$work/dist" --config-settings=build-dir="$work/cmake"
wheel=$(echo "$work"/dist/wordloom-*.whl)

echo "== wheel: headers from the build requirements only"
[ -f "$work/cmake/build.ninja" ] || fail "expected a Ninja build in $work/cmake, to read its header dependencies"
.venv/bin/ninja -C "$work/cmake" -t deps 2>/dev/null | sed -n 's/^ *//p' | sort -u >"$work/headers"
grep -q '/boost_headers/include/boost/unordered/unordered_flat_map\.hpp$' "$work/headers" ||
  fail "Boost's flat map was not included from the boost-headers package"
grep -q '/nlohmann_json/include/nlohmann/json\.hpp$' "$work/headers" ||
  fail "nlohmann/json was not included from the nlohmann-json package"
if grep -E '^/usr/(local/)?include/(absl|boost|nlohmann)/' "$work/headers"; then
  fail "the headers above come from the system"
fi

echo "== wheel: shared libraries and exported symbols"
.venv/bin/python -m zipfile -e "$wheel" "$work/unpacked"
for module in "$work"/unpacked/wordloom.cpython-*.so "$work"/unpacked/wordloom_tools/_native.cpython-*.so; do
  [ -f "$module" ] || fail "the wheel has no $module"
  for library in $(readelf -d "$module" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    case $library in
      libc.so.* | libm.so.* | libgcc_s.so.* | libstdc++.so.*) ;;
      *) fail "$module needs $library" ;;
    esac
  done
  entry=PyInit_$(basename "$module" | cut -d. -f1)
  exported=$(nm -D --defined-only "$module" | awk '{print $3}')
  [ "$exported" = "$entry" ] || fail "$module exports more than $entry:"$'\n'"$exported"
done
quietly .venv/bin/auditwheel show "$wheel"
grep -q 'consistent with the following platform tag: "manylinux_' <(tr '\n' ' ' <"$log") ||
  { cat "$log" >&2; fail "auditwheel finds the wheel outside every manylinux policy"; }

echo "== wheel: the demo from a fresh virtual environment"
venv=$work/venv
python3.12 -m venv "$venv"
quietly "$venv/bin/python" -m pip install "$wheel"
# Outside the tree, so that nothing of the sources can be imported instead.
demo_dir=$(mktemp -d)
trap 'rm -rf "$demo_dir"' EXIT
# The wheel's Python sources hold the demo's sample text, so every character of it.
find "$work/unpacked" -name '*.py' -exec cat {} + >"$demo_dir/corpus.txt"
cd "$demo_dir"
installed=$("$venv/bin/python" -c 'import wordloom; print(wordloom.__file__)')
[[ $installed == "$venv/"* ]] || fail "the fresh environment imports wordloom from $installed"
quietly "$venv/bin/wordloom" demo --corpus corpus.txt --vocab-size 400 --out model
grep -E '^(trained|decoded) ' "$log"
