#!/usr/bin/env bash
# Runs bucklespring on this X display and types to it: RATE keys a second
# (letters, through the X server's test extension) for SECONDS. With
# IDLE_COST_STAT set, the key events (down and up) bucklespring reports are counted there
# (bench/key_stat.sh), so bench/idle_cost.sh can check that typing reached it.
# Meant to run under xvfb-run: bucklespring listens to the X server's key
# events (XRecord), and xdotool sends them.
#
#   xvfb-run -a bench/peer_typing.sh RATE SECONDS
set -euo pipefail
if [ $# -ne 2 ] || ! [[ $1 =~ ^[0-9]+$ && $1 -gt 0 && $2 =~ ^[0-9]+$ ]]; then
    echo "usage: peer_typing.sh RATE SECONDS" >&2
    exit 2
fi
rate=$1 seconds=$2
here=$(dirname "$0")
stat=${IDLE_COST_STAT:-/dev/null}
command -v xdotool >/dev/null || { echo "peer_typing.sh: xdotool is missing" >&2; exit 1; }
log=$(mktemp -u)
mkfifo "$log"
ALSOFT_DRIVERS=${ALSOFT_DRIVERS:-null} stdbuf -oL /usr/games/buckle -v >"$log" 2>&1 &
buckle=$!
trap 'kill "$buckle" 2>/dev/null; rm -f "$log"' EXIT
"$here/key_stat.sh" "$stat" scancode <"$log" &
sleep 1
letters=(a s d f g h j k l q w e r t y u i o p z x c v b n m)
# A second's keys at a time, each second started on the clock: one xdotool
# with --delay between keys alone falls behind the rate on a loaded machine.
start=${EPOCHREALTIME/./}
for ((s = 0; s < seconds; s++)); do
    keys=()
    for ((k = 0; k < rate; k++)); do
        keys+=("${letters[(s * rate + k) % 26]}")
    done
    xdotool key --delay $((800 / rate)) "${keys[@]}"
    left=$((start + (s + 1) * 1000000 - ${EPOCHREALTIME/./}))
    if [ $left -gt 0 ]; then
        sleep "$(printf '%d.%06d' $((left / 1000000)) $((left % 1000000)))"
    fi
done
