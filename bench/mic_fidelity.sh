#!/usr/bin/env bash
# Strike fidelity from the microphone: builds clavio_mic_fidelity and
# bench_mic_envelope and prints the BENCHMARKS.md section they measure.
#
#   bench/mic_fidelity.sh [--seconds S] [--seed N]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target clavio_mic_fidelity bench_mic_envelope clavio_sound_packs >/dev/null
table=$(build/default/bin/clavio_mic_fidelity "$@")
cost=$(build/default/bin/bench_mic_envelope --benchmark_min_time=1 --benchmark_format=csv 2>/dev/null)
cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
echo "## Strike fidelity from the microphone ($(date -u +%Y-%m-%d), $(nproc) cores, $cpu)"
echo
cat <<'TEXT'
Sessions from `bench/mic_fidelity.cpp`: per press a click 0-3 ms after the key event,
a damped 3-6 kHz ring (the key's own pitch, decaying in 0.6-1.5 ms) whose peak is
force x the key's distance factor (0.6-1.4) x 0.01 full scale, forces log-uniform
over 1-10, white room noise of 0.002 peak, 48 kHz in 5 ms blocks. Rendered offline
through the coordinator with velocitySource "microphone". Clavio's own output is
fed back into the microphone at the given delay and level (a median press's sound
over the median click); the loop is closed by passes: each render hears the
previous render's output of the same session (three renders). Spearman: rank
correlation force <-> velocity, ties averaged. Delay: classifiedAt - key event,
the same searchPostMs + 10 ms as the accelerometer path.
TEXT
echo
echo "$table"
echo
echo "Envelope on the capture thread, one 5 ms block (240 samples at 48 kHz), CPU time:"
echo
echo "$cost" | awk -F, '/BM_MicEnvelopeBlock/ {e=$4} /BM_CopyBlock/ {c=$4}
    END { printf "- envelope %.0f ns, plain copy %.0f ns (%.0fx); %.3f %% of a core at 200 blocks/s\n", e, c, e / c, e * 200 / 1e9 * 100 }'
