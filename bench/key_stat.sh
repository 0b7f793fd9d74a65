#!/usr/bin/env bash
# Keeps a stat file for bench/idle_cost.sh from a program's log on stdin:
# every line matching PATTERN counts as 1/PER_KEY of a key, and the file is
# replaced with "0 <keys> <ns>" after each one (bash's clock, no fork).
#
#   PROGRAM | bench/key_stat.sh FILE PATTERN [PER_KEY]
#   e.g. stdbuf -oL buckle -v | bench/key_stat.sh "$IDLE_COST_STAT" scancode
#        (bucklespring prints a scancode line when a key goes down and up)
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: key_stat.sh FILE PATTERN [PER_KEY]" >&2
    exit 2
fi
file=$1 pattern=$2 per=${3:-1}
n=0
printf '0 0 %s\n' "${EPOCHREALTIME/./}000" >"$file"
while IFS= read -r line; do
    if [[ $line == *$pattern* ]]; then
        n=$((n + 1))
        printf '0 %d %s\n' $((n / per)) "${EPOCHREALTIME/./}000" >"$file.tmp"
        mv -f "$file.tmp" "$file"
    fi
done
