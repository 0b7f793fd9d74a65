#!/usr/bin/env bash
# Writes a synthetic session trace for the idle-cost runs: SECONDS of 1 kHz
# accelerometer reports at rest (1 g on z) and, when KEYS_PER_SECOND is more
# than 0, letters struck at that rate (a 1.12 g bump 3 ms after each key goes
# down, released 60 ms later). SENSOR 0 leaves the accelerometer reports out:
# a session with keys only, which the app plays at its fixed strength.
#
#   bench/make_trace.sh OUT SECONDS [KEYS_PER_SECOND [SENSOR]]
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: make_trace.sh OUT SECONDS [KEYS_PER_SECOND [SENSOR]]" >&2
    exit 2
fi
out=$1 seconds=$2 rate=${3:-0} sensor=${4:-1}
tmp=$out.tmp.$$
# Timestamps pass 2^31 after 2.1 s: awk's %d clamps there (mawk, Debian's
# default awk), so they are printed with %.0f, exact for integers below 2^53.
awk -v seconds="$seconds" -v rate="$rate" -v sensor="$sensor" 'BEGIN {
    # 22-byte reports, z as little-endian int32 in 1/65536 g at bytes 14..17.
    rest = sprintf("%028d%s%08d", 0, "00000100", 0)   # 1.0 g
    bump = sprintf("%028d%s%08d", 0, "b81e0100", 0)   # 1.12 g
    split("0 1 2 3 4 5 6 7 8 9 11 12 13 14 15 16 17 31 32 34 35 37 38 40 45 46", codes, " ")
    period = rate > 0 ? int(1000 / rate) : 0
    print "{\"format\":\"clavio-trace\",\"version\":1}"
    start = 1000000000
    k = 0
    for (ms = 0; ms < seconds * 1000; ms++) {
        t = start + ms * 1000000
        if (period > 0 && ms >= 500) {
            phase = (ms - 500) % period
            if (phase == 0) {
                code = codes[k % 26 + 1]; k++
                printf "{\"t\":%.0f,\"key\":\"down\",\"code\":%d,\"flags\":0,\"repeat\":false}\n", t, code
                down[ms + 60] = code
            }
            if (ms in down) {
                printf "{\"t\":%.0f,\"key\":\"up\",\"code\":%d,\"flags\":0}\n", t, down[ms]
                delete down[ms]
            }
        }
        if (!sensor) continue
        report = (period > 0 && ms >= 500 && (ms - 500) % period == 3) ? bump : rest
        printf "{\"t\":%.0f,\"accel\":\"%s\"}\n", t, report
    }
}' >"$tmp"
mv "$tmp" "$out"
