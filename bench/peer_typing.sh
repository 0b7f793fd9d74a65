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
ALSOFT_DRIVERS=${ALSOFT_DRIVERS:-null} stdbuf -oL /usr/games/buckle -v 2>&1 |
    "$here/key_stat.sh" "$stat" scancode &
sleep 1
keys=()
letters=(a s d f g h j k l q w e r t y u i o p z x c v b n m)
for ((k = 0; k < rate * seconds; k++)); do
    keys+=("${letters[k % 26]}")
done
# --delay is the time between one key and the next, each pressed and released.
exec xdotool key --delay $((1000 / rate)) "${keys[@]}"
