#!/bin/bash
# Makes each deliberate fault of scripts/mutants.txt in turn, rebuilds the
# test suites in build/mutants, runs them and prints which tests failed, then
# restores the file. A fault no test notices is a hole in the tests.
# Usage: scripts/mutation-check.sh [name-regex]   (run from a clean tree)
set -u
cd "$(dirname "$0")/.."
only=${1:-.}
build=build/mutants
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCLAVIO_BUILD_APP=OFF \
    -DCLAVIO_BUILD_BENCH=OFF >/dev/null || exit 1
targets="clavio_engine_tests clavio_platform_tests clavio_cli_tests clavio-cli"
suites="clavio_engine_tests clavio_platform_tests clavio_cli_tests"

apply() { # name -> prints "file" after patching it
    python3 - "$1" <<'PY'
import sys
name = sys.argv[1]
blocks = ("\n" + open("scripts/mutants.txt").read()).split("\n@@ ")[1:]
for b in blocks:
    lines = b.rstrip("\n").split("\n")
    if lines[0].strip() != name:
        continue
    path, old, new = lines[1].strip(), lines[2][2:], lines[3][2:]
    text = open(path).read()
    if text.count(old) != 1:
        sys.exit(f"{name}: the text occurs {text.count(old)} times in {path}")
    open(path, "w").write(text.replace(old, new))
    print(path)
PY
}

names=$(sed -n 's/^@@ //p' scripts/mutants.txt | grep -E "$only")
for name in $names; do
    file=$(apply "$name") || { echo "$name: not applied"; continue; }
    if ! cmake --build "$build" -j2 --target $targets >"$build/$name.build.log" 2>&1; then
        echo "$name: does not build (see $build/$name.build.log)"
        git checkout -q -- "$file"
        continue
    fi
    failed=""
    for suite in $suites; do
        out=$(cd "$build" && CLAVIO_SOAK_SECONDS=5 timeout 600 "bin/$suite" --gtest_brief=1 2>&1)
        failed="$failed $(echo "$out" | sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/.]*\).*/\1/p' | sort -u | tr '\n' ' ')"
        if echo "$out" | grep -q "Segmentation\|Aborted\|terminate called"; then
            failed="$failed ($suite crashed)"
        fi
    done
    git checkout -q -- "$file"
    failed=$(echo $failed)
    echo "$name: ${failed:-NOT CAUGHT}"
done
# Leave the build matching the tree again.
cmake --build "$build" -j2 --target $targets >/dev/null 2>&1
