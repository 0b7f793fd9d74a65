#!/usr/bin/env bash
# Key event to first rendered frame in real-time replay: plays the demo
# session through `clavio-cli play` (the real threads, SDL's audio thread on
# its dummy driver unless SDL_AUDIODRIVER says otherwise) and prints the
# delays beyond the designed classification delay as its last line.
#
#   bench/play_delay.sh [TRACE]      (default: the bundled demo session)
set -euo pipefail
cli=${BIN:-build/default/bin}/clavio-cli
trace=${1:-demo}
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
out=$("$cli" play --trace "$trace" --tail 1)
summary=$(grep -E '^ *(median|beyond the designed)' <<<"$out" || true)
if [ -z "$summary" ]; then
    echo "play_delay.sh: clavio-cli play printed no delays" >&2
    echo "$out" >&2
    exit 1
fi
echo "$summary" | sed 's/^ *//' | paste -sd ';' | sed 's/;/; /'
