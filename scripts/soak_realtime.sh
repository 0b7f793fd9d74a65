#!/usr/bin/env bash
# Real-time soak: minutes of typing at 15 keys a second over a 1 kHz sensor,
# replayed through `clavio-cli play` on the real threads (keyboard and sensor
# replay threads, the classify queue's worker, SDL's audio thread on its
# dummy driver). Fails when the program fails (a sanitizer report included),
# when presses go missing, or when its resident memory keeps growing.
#
#   scripts/soak_realtime.sh [MINUTES]      (default 3; make soak-realtime)
#   environment: PRESET (default asan when built, else default)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-3}
preset=${PRESET:-}
if [ -z "$preset" ]; then
    preset=default
    [ -x build/asan/bin/clavio-cli ] && preset=asan
fi
cli=build/$preset/bin/clavio-cli
[ -x "$cli" ] || { echo "soak_realtime.sh: $cli is not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds=$((minutes * 60))
bench/make_trace.sh "$work/soak.trace" "$seconds" 15
keys=$(grep -c '"key":"down"' "$work/soak.trace")
echo "soak_realtime.sh: $keys presses over $seconds s through $cli ($preset)" >&2

SDL_AUDIODRIVER=dummy XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data \
    "$cli" play --trace "$work/soak.trace" --tail 1 >"$work/out.txt" 2>"$work/err.txt" &
pid=$!
rss_at() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0; }
sleep 30
early=$(rss_at)
sleep $((seconds - 40 > 0 ? seconds - 40 : 1))
late=$(rss_at)
status=0
wait $pid || status=$?
if [ $status -ne 0 ] || grep -q 'Sanitizer' "$work/err.txt"; then
    echo "soak_realtime.sh: clavio-cli play failed (status $status):" >&2
    tail -n 40 "$work/err.txt" >&2
    exit 1
fi
heard=$(sed -n 's/^Key event to first rendered frame, \([0-9]*\) presses.*/\1/p' "$work/out.txt")
grep -E '^ *(median|beyond)' "$work/out.txt" >&2 || true
echo "soak_realtime.sh: $heard of $keys presses sounded; RSS ${early} kB after 30 s, ${late} kB near the end" >&2
if [ -z "$heard" ] || [ "$heard" -lt "$keys" ]; then
    echo "soak_realtime.sh: presses went missing" >&2
    exit 1
fi
# Everything is allocated at start-up; a few MB of drift is allocator noise.
if [ "$early" -gt 0 ] && [ "$late" -gt $((early + 8192)) ]; then
    echo "soak_realtime.sh: resident memory grew by $(((late - early) / 1024)) MB" >&2
    exit 1
fi
echo "soak_realtime.sh: ok"
