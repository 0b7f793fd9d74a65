#!/usr/bin/env bash
# Prints user counters of one benchmark (the median of 3 repetitions), for
# figures that are counters rather than times.
#
#   bench/counter.sh PROGRAM BENCHMARK COUNTER[=LABEL]...
#   e.g. bench/counter.sh build/default/bin/bench_render BM_RenderDemoSession \
#            'audio_s_per_cpu_s=audio s per CPU s'
# The last line is "<value> <LABEL>, <value> <LABEL>...".
set -euo pipefail
if [ $# -lt 3 ]; then
    echo "usage: counter.sh PROGRAM BENCHMARK COUNTER[=LABEL]..." >&2
    exit 2
fi
program=$1 benchmark=$2
shift 2
json=$("$program" --benchmark_filter="^${benchmark}\$" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_format=json)
line=""
for spec in "$@"; do
    counter=${spec%%=*} label=${spec#*=}
    value=$(jq -r --arg n "${benchmark}_median" --arg c "$counter" \
        '.benchmarks[] | select(.name == $n) | .[$c] // empty' <<<"$json")
    if [ -z "$value" ]; then
        echo "counter.sh: no counter $counter in ${benchmark}_median" >&2
        exit 1
    fi
    line="${line:+$line, }$(printf '%.4g' "$value") $label"
done
echo "$line"
