#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for SECONDS each
# (default 30), one after the other. Fails when any target finds a crash, a
# leak, a sanitizer report, a broken property, a timeout or an out-of-memory.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     e.g. scripts/fuzz.sh 60 fuzz_impact_config
#
# A target is a file fuzz/fuzz_<name>.cpp; its first lines may set, as
# comments:
#   // fuzz-max-len: N        longest input tried (default 4096)
#   // fuzz-dict: FILE        a dictionary from fuzz/dicts/
#   // fuzz-seeds: GLOB...    generated files to seed with, relative to a build
#                             tree (build/fuzz, build/default); ** matches folders
#   // fuzz-options: FLAGS    further libFuzzer flags
# Seeds: fuzz/corpus/<target>/ (committed) plus the generated files above.
# What libFuzzer learns goes to build/fuzz/corpus/<target>/ and is reused by
# the next run; crash inputs go to build/fuzz/artifacts/<target>/, logs to
# build/fuzz/logs/<target>.log. Replay a crash with
#   build/fuzz/bin/<target> build/fuzz/artifacts/<target>/crash-...
set -euo pipefail
shopt -s nullglob globstar

cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "fuzz.sh: SECONDS must be a positive whole number, not '$seconds'" >&2
    exit 2
fi
shift || true

if ! command -v clang++ >/dev/null; then
    echo "fuzz.sh: clang++ not found; run scripts/setup.sh first" >&2
    exit 2
fi

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$root")}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

build=$root/build/fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for src in fuzz/fuzz_*.cpp; do
        targets+=("$(basename "$src" .cpp)")
    done
fi
if [ ${#targets[@]} -eq 0 ]; then
    echo "fuzz.sh: no fuzz/fuzz_*.cpp targets" >&2
    exit 2
fi

# The value of a "// fuzz-KEY:" line of a target's source, or nothing.
setting() {
    sed -n "s|^// fuzz-$2: *||p" "fuzz/$1.cpp" | head -n 1
}

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/lsan.supp}

failed=()
for t in "${targets[@]}"; do
    if [ ! -f "fuzz/$t.cpp" ] || [ ! -x "$build/bin/$t" ]; then
        echo "fuzz.sh: no target $t (expected fuzz/$t.cpp, built as $build/bin/$t)" >&2
        failed+=("$t")
        continue
    fi
    corpus=$build/corpus/$t
    seeds=$build/seeds/$t
    artifacts=$build/artifacts/$t
    log=$build/logs/$t.log
    rm -rf "$seeds"
    mkdir -p "$corpus" "$seeds" "$artifacts" "$(dirname "$log")"

    # Generated seed files, copied so libFuzzer never writes into a build tree.
    n=0
    read -ra patterns <<<"$(setting "$t" seeds)" # split, but not globbed against the cwd
    for pattern in "${patterns[@]}"; do
        for tree in "$build" "$root/build/default"; do
            for f in "$tree"/$pattern; do
                [ -f "$f" ] || continue
                n=$((n + 1))
                cp "$f" "$seeds/$n-$(basename "$f")"
            done
        done
    done

    maxlen=$(setting "$t" max-len)
    args=(-max_total_time="$seconds" -max_len="${maxlen:-4096}" -timeout=10
          -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/")
    dict=$(setting "$t" dict)
    if [ -n "$dict" ]; then
        args+=(-dict="$root/fuzz/dicts/$dict")
    fi
    # shellcheck disable=SC2206 # the options are words
    args+=($(setting "$t" options))
    dirs=("$corpus" "$seeds")
    if [ -d "fuzz/corpus/$t" ]; then
        dirs+=("$root/fuzz/corpus/$t")
    fi

    echo "== $t: ${seconds}s, ${args[1]}, seeds: $(ls "$root/fuzz/corpus/$t" 2>/dev/null | wc -l) committed, $n generated"
    status=0
    "$build/bin/$t" "${args[@]}" "${dirs[@]}" >"$log" 2>&1 || status=$?
    summary=$(grep -E '^#[0-9]+[[:space:]]' "$log" | tail -n 1 |
        grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' || true)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ "$status" -ne 0 ]; then
        failed+=("$t")
        echo "   FAILED (exit $status) after ${execs:-?} runs; log $log"
        grep -E 'ERROR: |SUMMARY: |fuzz property broken|runtime error|Test unit written' "$log" |
            head -n 8 | sed 's/^/   /'
    else
        echo "   ok: ${execs:-?} runs; ${summary:-no summary}"
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz.sh: failed: ${failed[*]} (crash inputs under $build/artifacts/, logs under $build/logs/)" >&2
    exit 1
fi
echo "fuzz.sh: ${#targets[@]} targets, ${seconds}s each, no findings"
