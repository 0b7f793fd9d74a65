#!/usr/bin/env bash
# Idle cost of long-running programs, measured side by side: every program
# given is started at once, left to settle, then watched for the same
# SECONDS, so machine noise falls on all of them alike.
#
#   bench/idle_cost.sh [-t SECONDS] [-s SETTLE] [-H] [-r RATE] [-T FILE] SPEC...
#     SPEC  LABEL=COMMAND        the whole process tree COMMAND starts
#           LABEL@NAME=COMMAND   only the processes of that tree named NAME
#                                (e.g. the program itself, not the Xvfb it needs)
#           LABEL[@NAME]#A/K=COMMAND  checks that COMMAND's stat file (below)
#                                grew by A reports and K key events (a key
#                                going down or up) a second (0: not checked),
#                                whatever -r says
#     -t    seconds measured (default 60)     -s  seconds to settle first (default 5)
#     -H    no table header
#     -r    a replayed stream's rate (records a second) the window must see
#     -T    also write each measured thread's CPU % and wake-ups/s to FILE
#     -B    also write each measured process's memory by mapping group to FILE,
#           at the end of the window (bench/rss_breakdown.sh)
#
# Prints one markdown table row per program:
#   | program | command | CPU % of one core | peak RSS (MB) | processes | wake-ups/s | note |
# CPU is the growth of utime+stime+cutime+cstime (/proc/PID/stat: every
# thread, and children once reaped) of the measured processes over the
# window, divided by the wall time of the window; one clock tick (usually
# 10 ms) over 60 s is 0.017 %. Peak RSS is the sum of the measured
# processes' VmHWM (/proc/PID/status), so it includes start-up. A program
# that exits before the window ends is reported as such, not measured.
# Wake-ups are the growth of voluntary_ctxt_switches (/proc/PID/task/*/status)
# of the threads alive at both ends of the window, a second.
# Each COMMAND sees IDLE_COST_STAT, a file of its own: a program that writes
# "<records delivered> ... <steady clock ns>" there (clavio does with
# CLAVIO_REPLAY_STAT=$IDLE_COST_STAT and --replay) is checked with -r: when its
# stream advanced by less than 95 % of RATE a second over the window, the row's
# CPU cell says "not a stream" (the figure measured an app waiting, not one
# reading a sensor) and the script ends with status 3 after printing. A SPEC
# with #A/K reads "<reports> <keys> ... <ns>" and checks both the same way
# (bench/key_stat.sh writes the keys a peer was heard to play).
# Each COMMAND runs through bash in its own session and is stopped at the
# end by its process group: SIGTERM, then SIGKILL after 3 s.
set -euo pipefail

seconds=60
settle=5
header=1
rate=""
thread_file=""
breakdown_file=""
while getopts "t:s:Hr:T:B:" opt; do
    case $opt in
    t) seconds=$OPTARG ;;
    s) settle=$OPTARG ;;
    H) header=0 ;;
    r) rate=$OPTARG ;;
    T) thread_file=$OPTARG ;;
    B) breakdown_file=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if ! [[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 && $settle =~ ^[0-9]+$ ]]; then
    echo "idle_cost.sh: -t needs a positive and -s a non-negative whole number of seconds" >&2
    exit 2
fi
if [ -n "$rate" ] && ! [[ $rate =~ ^[0-9]+$ && $rate -gt 0 ]]; then
    echo "idle_cost.sh: -r needs a positive whole number of records a second" >&2
    exit 2
fi
if [ $# -eq 0 ]; then
    echo "usage: idle_cost.sh [-t SECONDS] [-s SETTLE] [-H] LABEL[@NAME]=COMMAND..." >&2
    exit 2
fi

labels=() names=() commands=() roots=() expects=()
for spec in "$@"; do
    if [[ $spec != *=* ]]; then
        echo "idle_cost.sh: '$spec' is not LABEL=COMMAND or LABEL@NAME=COMMAND" >&2
        exit 2
    fi
    head=${spec%%=*}
    commands+=("${spec#*=}")
    if [[ $head == *#* ]]; then
        expects+=("${head#*#}")
        head=${head%%#*}
        if ! [[ ${expects[-1]} =~ ^[0-9]+/[0-9]+$ ]]; then
            echo "idle_cost.sh: '#${expects[-1]}' is not #REPORTS/KEYS a second" >&2
            exit 2
        fi
    else
        expects+=("")
    fi
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

# "tid ticks switches comm" for every thread of the measured processes of $1.
threads_of() {
    local pid task rest comm line switches
    for pid in $(members "$1"); do
        for task in /proc/"$pid"/task/[0-9]*; do
            { IFS= read -r rest <"$task/stat"; } 2>/dev/null || continue
            comm=${rest#*(}
            comm=${comm%)*}
            rest=${rest##*) }
            # shellcheck disable=SC2206 # fields of /proc/PID/task/TID/stat
            local f=($rest)
            switches=0
            while IFS= read -r line; do
                if [[ $line == voluntary_ctxt_switches:* ]]; then switches=${line//[!0-9]/}; fi
            done 2>/dev/null <"$task/status" || true
            echo "${task##*/} $((f[11] + f[12])) $switches ${comm// /_}"
        done
    done
}

# "<records> <ns> <keys>" from program $1's stat file: its first, last and
# (when there are three or more) second fields.
read_stat() {
    local line
    line=$(cat "$stat_dir/$1" 2>/dev/null) || return 0
    # shellcheck disable=SC2206 # whitespace-separated fields
    local f=($line)
    [ ${#f[@]} -ge 2 ] && echo "${f[0]} ${f[${#f[@]} - 1]} ${f[1]}"
}

# shellcheck disable=SC2317 # run by the EXIT trap
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
        [ $alive = 0 ] && break
        sleep 0.1
    done
    for root in "${roots[@]}"; do
        kill -KILL -- "-$root" 2>/dev/null || true
    done
    rm -rf "$stat_dir" || true
}
stat_dir=$(mktemp -d)
trap stop_all EXIT

for i in "${!commands[@]}"; do
    IDLE_COST_STAT=$stat_dir/$i setsid bash -c "${commands[$i]}" </dev/null >/dev/null 2>&1 &
    roots[$i]=$!
done

sleep "$settle"
scan
declare -a start_ticks
for i in "${!roots[@]}"; do
    start_ticks[$i]=$(ticks_sum "$i")
done
declare -a start_threads start_stat
for i in "${!roots[@]}"; do
    start_threads[$i]=$(threads_of "$i")
    start_stat[$i]=$(read_stat "$i")
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
declare -a end_threads end_stat
for i in "${!roots[@]}"; do
    end_threads[$i]=$(threads_of "$i")
    end_stat[$i]=$(read_stat "$i")
done
elapsed_ns=$(($(date +%s%N) - start_ns))
if [ -n "$breakdown_file" ]; then
    : >"$breakdown_file"
    first=1
    for i in "${!roots[@]}"; do
        for pid in $(members "$i"); do
            flags=()
            [ $first = 1 ] || flags=(-H)
            "$(dirname "$0")/rss_breakdown.sh" "${flags[@]}" -l "${labels[$i]}" "$pid" >>"$breakdown_file" && first=0
        done
    done
fi
elapsed_s=$(awk -v ns="$elapsed_ns" 'BEGIN { printf "%.3f", ns / 1e9 }')

# Per thread of program $1, alive at both ends: "comm tid cpu% wakeups/s".
thread_rows() {
    awk -v hz="$clk_tck" -v s="$elapsed_s" '
        NR == FNR { ticks[$1] = $2; sw[$1] = $3; next }
        ($1 in ticks) { printf "%s %s %.3f %.1f\n", $4, $1, 100 * ($2 - ticks[$1]) / hz / s, ($3 - sw[$1]) / s }
    ' <(echo "${start_threads[$1]}") <(echo "${end_threads[$1]}")
}

if [ $header = 1 ]; then
    echo "| program | command | CPU % of one core | peak RSS (MB) | processes | wake-ups/s | note |"
    echo "|---|---|---|---|---|---|---|"
fi
[ -n "$thread_file" ] && : >"$thread_file"
status=0
for i in "${!roots[@]}"; do
    cmd=${commands[$i]//|/\\|}
    if ! kill -0 "${roots[$i]}" 2>/dev/null; then
        echo "| ${labels[$i]} | \`$cmd\` | - | - | - | - | exited before the window ended |"
        continue
    fi
    members_now=$(members "$i" | wc -l)
    if [ "$members_now" -eq 0 ]; then
        echo "| ${labels[$i]} | \`$cmd\` | - | - | 0 | - | no process named ${names[$i]} |"
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
    wakeups=$(thread_rows "$i" | awk -v s="$elapsed_s" '{ w += $4 } END { printf "%.1f", w }')
    if [ -n "${expects[$i]}" ]; then
        # shellcheck disable=SC2206 # "<records> <ns> <keys>"
        local_a=(${start_stat[$i]:-}) local_b=(${end_stat[$i]:-})
        want_reports=${expects[$i]%/*} want_keys=${expects[$i]#*/}
        if [ ${#local_a[@]} -lt 3 ] || [ ${#local_b[@]} -lt 3 ] || [ "${local_a[1]}" = "${local_b[1]}" ]; then
            cpu="$cpu (not a stream: no progress written)"
            status=3
        else
            read -r got_reports got_keys < <(awk -v a="${local_a[0]}" -v b="${local_b[0]}" \
                -v ka="${local_a[2]}" -v kb="${local_b[2]}" -v ta="${local_a[1]}" -v tb="${local_b[1]}" \
                'BEGIN { s = (tb - ta) / 1e9; printf "%.0f %.1f\n", (b - a) / s, (kb - ka) / s }')
            note="$note; $got_reports reports/s, $got_keys key events/s"
            if [ $((got_reports * 100)) -lt $((want_reports * 95)) ] ||
                awk -v g="$got_keys" -v w="$want_keys" 'BEGIN { exit !(g * 100 < w * 95) }'; then
                cpu="$cpu (not a stream: $got_reports of $want_reports reports/s, $got_keys of $want_keys key events/s)"
                status=3
            fi
        fi
    elif [ -n "$rate" ] && [[ ${commands[$i]} == *IDLE_COST_STAT* ]]; then
        # shellcheck disable=SC2206 # "<records> <ns>"
        local_a=(${start_stat[$i]:-}) local_b=(${end_stat[$i]:-})
        if [ ${#local_a[@]} -lt 2 ] || [ ${#local_b[@]} -lt 2 ] || [ "${local_a[1]}" = "${local_b[1]}" ]; then
            cpu="$cpu (not a stream: no replay progress written)"
            status=3
        else
            per_s=$(awk -v a="${local_a[0]}" -v b="${local_b[0]}" -v ta="${local_a[1]}" -v tb="${local_b[1]}" \
                'BEGIN { printf "%.0f", (b - a) / ((tb - ta) / 1e9) }')
            note="$note; replay $per_s records/s"
            if [ $((per_s * 100)) -lt $((rate * 95)) ]; then
                cpu="$cpu (not a stream: $per_s of $rate records/s)"
                status=3
            fi
        fi
    fi
    echo "| ${labels[$i]} | \`$cmd\` | $cpu | $rss | $members_now | $wakeups | $note |"
    if [ -n "$thread_file" ]; then
        thread_rows "$i" | awk -v l="${labels[$i]// /_}" '{ print l, $0 }' >>"$thread_file"
    fi
done
if [ $status != 0 ]; then
    echo "idle_cost.sh: a stream did not advance at the rate asked (see the CPU cells)" >&2
fi
exit $status
