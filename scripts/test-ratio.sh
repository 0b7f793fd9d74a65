#!/bin/sh
# Prints the test code's size against the product code's: non-blank lines of
# C++ sources and headers under tests/ and fuzz/ against engine/, platform/,
# app/, cli/ and tools/. The project aims at a third and allows 0.40 at most.
set -eu
cd "$(dirname "$0")/.."
count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | grep -cv '^[[:space:]]*$'
}
tests=$(count tests fuzz)
product=$(count engine platform app cli tools)
awk -v t="$tests" -v p="$product" 'BEGIN {
    printf "tests %d lines, product %d lines: ratio %.2f\n", t, p, t / p
}'
