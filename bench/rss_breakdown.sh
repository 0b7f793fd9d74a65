#!/usr/bin/env bash
# Where a running process's resident memory goes: its mappings
# (/proc/PID/smaps) grouped by what they hold, as a markdown table of Rss and
# Pss in MB, with the totals of /proc/PID/smaps_rollup and the peak (VmHWM).
#
#   bench/rss_breakdown.sh [-H] [-l LABEL] PID
#     -H  no table header        -l  a label column first (e.g. "before")
#
# Groups, first match wins:
#   thread stacks   the mapping holding a thread's stack pointer
#                   (/proc/PID/task/TID/syscall; [stack] for the main thread)
#   Qt libraries    libQt6*, Qt plugins
#   fonts           font files and fontconfig caches
#   heap            [heap], and anonymous private mappings: malloc's arenas
#                   (64 MiB-aligned) and its large blocks, where decoded
#                   samples live (see "[Clavio] Sound pack ... decoded" in the log)
#   shared libraries  every other .so
#   program         the executable itself
#   other           the rest (shared memory, locale archive, vdso, ...)
# A thread whose stack pointer cannot be read (it runs at that instant) leaves
# its stack in "heap"; the row says how many stacks were found.
set -euo pipefail
header=1
label=""
while getopts "Hl:" opt; do
    case $opt in
    H) header=0 ;;
    l) label=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [ $# -ne 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "usage: rss_breakdown.sh [-H] [-l LABEL] PID" >&2
    exit 2
fi
pid=$1
if ! smaps=$(cat "/proc/$pid/smaps" 2>/dev/null) || [ -z "$smaps" ]; then
    echo "rss_breakdown.sh: cannot read /proc/$pid/smaps" >&2
    exit 1
fi
exe=$(readlink "/proc/$pid/exe" 2>/dev/null || true)
# Stack pointers of the threads, one hex address a line ("running" has none).
sps=$(for f in /proc/"$pid"/task/*/syscall; do
    awk 'NF >= 9 { print $(NF - 1) }' "$f" 2>/dev/null || true
done)
threads=$(find "/proc/$pid/task" -mindepth 1 -maxdepth 1 | wc -l)
hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
rollup=$(awk '/^(Rss|Pss):/ { printf "%s ", $2 }' "/proc/$pid/smaps_rollup")

awk -v sps="$sps" -v exe="$exe" -v header="$header" -v label="$label" \
    -v hwm="$hwm" -v threads="$threads" -v rollup="$rollup" '
function hex(s,    i, c, v) {
    v = 0
    s = tolower(s)
    sub(/^0x/, "", s)
    for (i = 1; i <= length(s); i++) {
        c = index("0123456789abcdef", substr(s, i, 1)) - 1
        v = v * 16 + c
    }
    return v
}
function classify(    name, base) {
    name = path
    base = name
    sub(/.*\//, "", base)
    if (name == "[stack]") return "thread stacks"
    for (i = 1; i <= nsp; i++) if (sp[i] >= lo && sp[i] < hi) { stacks++; return "thread stacks" }
    if (base ~ /^libQt6/ || name ~ /\/qt6\/plugins\//) return "Qt libraries"
    if (name ~ /\/fonts\// || base ~ /\.(ttf|otf|ttc|pcf|pcf\.gz|pfb)$/ || name ~ /fontconfig/) return "fonts"
    if (name == "[heap]") return "heap"
    if (name == "" && perms ~ /^rw.p/) return "heap"
    if (name == exe && exe != "") return "program"
    if (base ~ /\.so(\.[0-9.]+)?$/) return "shared libraries"
    return "other"
}
function flush() {
    if (!have) return
    g = classify()
    rss[g] += r; pss[g] += p; count[g]++
    have = 0
}
BEGIN {
    nsp = split(sps, list, "\n")
    for (i = 1; i <= nsp; i++) sp[i] = hex(list[i])
    split(rollup, tot, " ")
    order = "Qt libraries|shared libraries|program|heap|thread stacks|fonts|other"
    ng = split(order, groups, "|")
}
/^[0-9a-f]+-[0-9a-f]+ / {
    flush()
    split($1, range, "-")
    lo = hex(range[1]); hi = hex(range[2])
    perms = $2
    path = ""
    if (NF >= 6) { path = $6; for (i = 7; i <= NF; i++) path = path " " $i }
    r = 0; p = 0; have = 1
    next
}
/^Rss:/ { r = $2 }
/^Pss:/ { p = $2 }
END {
    flush()
    lead = label != "" ? "| " label " " : ""
    if (header) {
        printf "%s| %s | %s |\n", (label != "" ? "| " : ""), "group", "Rss (MB) | Pss (MB) | mappings"
        printf "%s|---|---|---|---|\n", (label != "" ? "|---" : "")
    }
    for (k = 1; k <= ng; k++) {
        g = groups[k]
        note = count[g] + 0
        if (g == "thread stacks") note = note " (" threads " threads, " stacks + 0 " stacks found)"
        printf "%s| %s | %.1f | %.1f | %s |\n", lead, g, rss[g] / 1024, pss[g] / 1024, note
    }
    printf "%s| **total** (smaps_rollup; peak VmHWM %.1f) | %.1f | %.1f | |\n", lead, hwm / 1024, tot[1] / 1024, tot[2] / 1024
}' <<<"$smaps"
