#!/usr/bin/env bash
# Strike fidelity on synthetic sessions: builds clavio_fidelity and prints
# the BENCHMARKS.md section it measures (10-minute sessions with known
# strike forces, rendered offline with each classification variant).
#
#   bench/fidelity.sh [--seconds S] [--seed N]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target clavio_fidelity >/dev/null
table=$(build/default/bin/clavio_fidelity "$@")
cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
echo "## Strike fidelity on synthetic sessions ($(date -u +%Y-%m-%d), $(nproc) cores, $cpu)"
echo
cat <<'TEXT'
Sessions from `bench/fidelity_session.cpp`: per press a damped chassis vibration
(90-160 Hz, envelope time constant 6-11 ms) starting 1.5-6 ms after the key event,
amplitude proportional to force x the key's coupling (0.7-1.4 by its distance from
the sensor), forces log-uniform over 1-10, noise, slow tilt drift through a sensor
offset; sensors below 1 kHz low-pass (0.4 x rate) and decimate an 8 kHz signal.
Each session is rendered offline through the coordinator (`clavio_fidelity`), sound
off. Spearman: rank correlation force <-> velocity, ties averaged. Inverted tiers:
among pairs whose forces differ by more than 1.5x, the share where the harder
strike got the lower tier (second half). Delay: classifiedAt - key event (second
half). "true couplings (limit)": the defaults' scores divided by each key's true
coupling, through the same velocity mapping. A variant whose rows equal the
defaults' has no effect in the build measured.
TEXT
echo
echo "$table"
