#!/usr/bin/env bash
# Idle cost of long-running programs, measured side by side: every program
# given is started at once, left to settle, then watched for the same
# SECONDS, so machine noise falls on all of them alike.
#
#   bench/idle_cost.sh [-t SECONDS] [-s SETTLE] [-H] SPEC...
#     SPEC  LABEL=COMMAND        the whole process tree COMMAND starts
#           LABEL@NAME=COMMAND   only the processes of that tree named NAME
#                                (e.g. the program itself, not the Xvfb it needs)
#     -t    seconds measured (default 60)     -s  seconds to settle first (default 5)
#     -H    no table header
#
# Prints one markdown table row per program:
#   | program | command | CPU % of one core | peak RSS (MB) | processes | note |
# CPU is the growth of utime+stime+cutime+cstime (/proc/PID/stat: every
# thread, and children once reaped) of the measured processes over the
# window, divided by the wall time of the window; one clock tick (usually
# 10 ms) over 60 s is 0.017 %. Peak RSS is the sum of the measured
# processes' VmHWM (/proc/PID/status), so it includes start-up. A program
# that exits before the window ends is reported as such, not measured.
# Each COMMAND runs through bash in its own session and is stopped at the
# end by its process group: SIGTERM, then SIGKILL after 3 s.
set -euo pipefail

seconds=60
settle=5
header=1
while getopts "t:s:H" opt; do
    case $opt in
    t) seconds=$OPTARG ;;
    s) settle=$OPTARG ;;
    H) header=0 ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if ! [[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 && $settle =~ ^[0-9]+$ ]]; then
    echo "idle_cost.sh: -t needs a positive and -s a non-negative whole number of seconds" >&2
    exit 2
fi
if [ $# -eq 0 ]; then
    echo "usage: idle_cost.sh [-t SECONDS] [-s SETTLE] [-H] LABEL[@NAME]=COMMAND..." >&2
    exit 2
fi

labels=() names=() commands=() roots=()
for spec in "$@"; do
    if [[ $spec != *=* ]]; then
        echo "idle_cost.sh: '$spec' is not LABEL=COMMAND or LABEL@NAME=COMMAND" >&2
        exit 2
    fi
    head=${spec%%=*}
    commands+=("${spec#*=}")
    labels+=("${head%%@*}")
    if [[ $head == *@* ]]; then names+=("${head#*@}"); else names+=(""); fi
done

clk_tck=$(getconf CLK_TCK)

# ppid_of[pid], comm_of[pid], ticks_of[pid] for every process now.
declare -A ppid_of comm_of ticks_of
scan() {
    ppid_of=() comm_of=() ticks_of=()
    local stat pid rest comm
    for stat in /proc/[0-9]*/stat; do
        pid=${stat#/proc/}
        pid=${pid%/stat}
        { IFS= read -r rest <"$stat"; } 2>/dev/null || continue
        comm=${rest#*(}
        comm=${comm%)*}
        rest=${rest##*) }
        # shellcheck disable=SC2206 # fields of /proc/PID/stat
        local f=($rest)
        ppid_of[$pid]=${f[1]}
        comm_of[$pid]=$comm
        ticks_of[$pid]=$((f[11] + f[12] + f[13] + f[14]))
    done
}

# The processes measured for program $1: its tree, filtered by name.
members() {
    local root=${roots[$1]} name=${names[$1]} pid p
    for pid in "${!ppid_of[@]}"; do
        p=$pid
        while [ -n "$p" ] && [ "$p" != 0 ] && [ "$p" != 1 ] && [ "$p" != "$root" ]; do
            p=${ppid_of[$p]:-}
        done
        if [ "$p" = "$root" ] && { [ -z "$name" ] || [ "${comm_of[$pid]}" = "$name" ]; }; then
            echo "$pid"
        fi
    done
}

ticks_sum() {
    local total=0 pid
    for pid in $(members "$1"); do
        total=$((total + ${ticks_of[$pid]}))
    done
    echo $total
}

declare -A hwm # "program:pid" -> largest VmHWM seen, KiB
sample_hwm() {
    local i pid line
    for i in "${!roots[@]}"; do
        for pid in $(members "$i"); do
            while IFS= read -r line; do
                if [[ $line == VmHWM:* ]]; then
                    line=${line//[!0-9]/}
                    if [ "$line" -gt "${hwm[$i:$pid]:-0}" ]; then hwm[$i:$pid]=$line; fi
                fi
            done 2>/dev/null <"/proc/$pid/status" || true
        done
    done
}

stop_all() {
    local root
    for root in "${roots[@]}"; do
        kill -TERM -- "-$root" 2>/dev/null || true
    done
    for _ in $(seq 30); do
        local alive=0
        for root in "${roots[@]}"; do
            if kill -0 -- "-$root" 2>/dev/null; then alive=1; fi
        done
        [ $alive = 0 ] && return
        sleep 0.1
    done
    for root in "${roots[@]}"; do
        kill -KILL -- "-$root" 2>/dev/null || true
    done
}
trap stop_all EXIT

for i in "${!commands[@]}"; do
    setsid bash -c "${commands[$i]}" </dev/null >/dev/null 2>&1 &
    roots[$i]=$!
done

sleep "$settle"
scan
declare -a start_ticks
for i in "${!roots[@]}"; do
    start_ticks[$i]=$(ticks_sum "$i")
done
sample_hwm
start_ns=$(date +%s%N)
end_ns=$((start_ns + seconds * 1000000000))
while [ "$(date +%s%N)" -lt "$end_ns" ]; do
    sleep 1
    scan
    sample_hwm
done
scan
sample_hwm
elapsed_ns=$(($(date +%s%N) - start_ns))

if [ $header = 1 ]; then
    echo "| program | command | CPU % of one core | peak RSS (MB) | processes | note |"
    echo "|---|---|---|---|---|---|"
fi
for i in "${!roots[@]}"; do
    cmd=${commands[$i]//|/\\|}
    if ! kill -0 "${roots[$i]}" 2>/dev/null; then
        echo "| ${labels[$i]} | \`$cmd\` | - | - | - | exited before the window ended |"
        continue
    fi
    members_now=$(members "$i" | wc -l)
    if [ "$members_now" -eq 0 ]; then
        echo "| ${labels[$i]} | \`$cmd\` | - | - | 0 | no process named ${names[$i]} |"
        continue
    fi
    ticks=$(($(ticks_sum "$i") - start_ticks[i]))
    peak_kib=0
    for key in "${!hwm[@]}"; do
        if [[ $key == "$i:"* ]]; then peak_kib=$((peak_kib + hwm[$key])); fi
    done
    cpu=$(awk -v t="$ticks" -v hz="$clk_tck" -v ns="$elapsed_ns" \
        'BEGIN { printf "%.3f", 100 * (t / hz) / (ns / 1e9) }')
    rss=$(awk -v k="$peak_kib" 'BEGIN { printf "%.1f", k / 1024 }')
    note="${ticks} ticks in $(awk -v ns="$elapsed_ns" 'BEGIN { printf "%.1f", ns / 1e9 }') s"
    [ -n "${names[$i]}" ] && note="$note; only \`${names[$i]}\`"
    echo "| ${labels[$i]} | \`$cmd\` | $cpu | $rss | $members_now | $note |"
done
