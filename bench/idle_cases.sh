#!/usr/bin/env bash
# The idle and typing cases of the running app beside bucklespring, in one
# window of bench/idle_cost.sh (so the machine's noise falls on all alike),
# then key event to first rendered frame (bench/play_delay.sh) in the same run:
#   Clavio idle with a 1 kHz replayed sensor, idle with no sensor (fixed
#   strength), typing 10 keys/s with each; bucklespring idle and typed to at
#   10 keys/s under its own Xvfb (bench/peer_typing.sh).
# Every app case has its own XDG folders (each is a first instance), SDL's
# dummy audio driver, Qt's offscreen platform and --background (panel closed).
# The streams are checked (10 keys/s are 20 key events/s, down and up): a
# case whose reports or key events did not advance at
# 95 % of their rate makes the run end with status 3.
#
#   bench/idle_cases.sh [-t SECONDS] [-o DIR]
#     -t  seconds measured (default 120)   -o  where the tables go (default: a
#                                              temporary folder, printed)
# Writes DIR/cases.md (one row a case), DIR/threads.txt (CPU and wake-ups of
# every thread), DIR/memory.md (every process's memory by mapping group at the
# end of the window) and DIR/play_delay.txt; prints cases.md and the delays.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=120
dir=""
while getopts "t:o:" opt; do
    case $opt in
    t) seconds=$OPTARG ;;
    o) dir=$OPTARG ;;
    *) exit 2 ;;
    esac
done
BIN=${BIN:-$PWD/build/default/bin}
[ -x "$BIN/clavio" ] || { echo "idle_cases.sh: no $BIN/clavio (build the clavio target)" >&2; exit 1; }
[ -x /usr/games/buckle ] || { echo "idle_cases.sh: bucklespring is not installed (scripts/benchmarks.sh installs it)" >&2; exit 1; }
command -v xdotool >/dev/null || { echo "idle_cases.sh: xdotool is not installed" >&2; exit 1; }
dir=${dir:-$(mktemp -d)}
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

settle=5
span=$((seconds + settle + 30)) # the traces outlast the window
bench/make_trace.sh "$work/idle.trace" "$span" 0
bench/make_trace.sh "$work/typing.trace" "$span" 10
bench/make_trace.sh "$work/typing-nosensor.trace" "$span" 10 0
bench/make_trace.sh "$work/nosensor.trace" 0 0 0

app() { # app NAME TRACE: the command line of one app case
    mkdir -p "$work/$1"
    chmod 700 "$work/$1"
    echo "env -u CLAVIO_PING_URL SDL_AUDIODRIVER=dummy QT_QPA_PLATFORM=offscreen" \
        "XDG_RUNTIME_DIR=$work/$1 XDG_CONFIG_HOME=$work/$1/config XDG_DATA_HOME=$work/$1/data" \
        "CLAVIO_REPLAY_STAT=\$IDLE_COST_STAT $BIN/clavio --background --replay $work/$2"
}
status=0
bench/idle_cost.sh -t "$seconds" -s "$settle" -T "$dir/threads.txt" -B "$dir/memory.md" \
    "Clavio, idle, 1 kHz sensor#1000/0=$(app a idle.trace)" \
    "Clavio, idle, no sensor=$(app b nosensor.trace)" \
    "Clavio, typing 10 keys/s, 1 kHz sensor#1000/20=$(app c typing.trace)" \
    "Clavio, typing 10 keys/s, no sensor#0/20=$(app d typing-nosensor.trace)" \
    "bucklespring, idle@buckle=ALSOFT_DRIVERS=null xvfb-run -a /usr/games/buckle" \
    "bucklespring, typing 10 keys/s@buckle#0/20=ALSOFT_DRIVERS=null xvfb-run -a $PWD/bench/peer_typing.sh 10 $span" \
    >"$dir/cases.md" || status=$?
bench/play_delay.sh >"$dir/play_delay.txt" || status=$?
cat "$dir/cases.md"
echo "key event to first rendered frame: $(cat "$dir/play_delay.txt")"
echo "idle_cases.sh: tables in $dir" >&2
exit $status
