#!/usr/bin/env bash
# What the audio period and the back end add to a key press's delay: plays a
# session trace through `clavio-cli play --period N` for each period and back
# end, on a quiet machine and with two busy loops loading it, and prints a
# markdown table for BENCHMARKS.md.
#
# Back ends: SDL's dummy driver (real-time cadence, no server), PulseAudio
# through a private server with a null sink (one fresh server a run, a
# recorder attached so the sink's clock runs), and PipeWire natively through
# a private PipeWire, WirePlumber and session bus with a null sink (pipewire
# and wireplumber installed; no underrun count: its log has none to count). Per run: key event to first
# rendered frame (median, p99), render cycles that came more than a period
# late and the longest gap between two cycles (counted by play on the render
# thread), the server's underrun reports (its debug log), and the output
# latency play reports (stated by the server, else one period) with the
# key-to-ear estimate.
#
#   bench/output_latency.sh [TRACE] [PERIODS] [BACKENDS]
#   (defaults: demo, "64 128 256 512", "dummy pulseaudio", and pipewire
#   when installed: `apt-get install pipewire pipewire-pulse wireplumber`; the
#   project's setup leaves them out, since a PipeWire daemon without its
#   session manager can stall SDL's device open)
set -euo pipefail
cli=$(realpath "${BIN:-build/default/bin}/clavio-cli")
trace=${1:-demo}
periods=${2:-64 128 256 512}
backends=${3:-dummy pulseaudio$(command -v wireplumber >/dev/null && echo " pipewire")}

work=$(mktemp -d)
pids=()
stop_all() { # the newest first: the recorder before its server
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT
# Default settings for every run, and the server's folders.
export HOME=$work/home XDG_RUNTIME_DIR=$work/xdg XDG_CONFIG_HOME=$work/home/.config
mkdir -p -m700 "$XDG_RUNTIME_DIR" "$HOME"

# Starts a private PulseAudio server and a recorder on its sink's monitor.
pulse_up() {
    : >"$work/pa.log"
    pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no --log-level=debug \
        --load=module-native-protocol-unix \
        --load="module-null-sink sink_name=bench_sink rate=48000 channels=2" \
        --log-target=file:"$work/pa.log" &
    pids+=($!)
    until pactl info >/dev/null 2>&1; do sleep 0.05; done
    parec -d bench_sink.monitor --latency-msec=10 --format=float32le --rate=48000 --channels=2 \
        >/dev/null &
    pids+=($!)
    until [ -n "$(pactl list source-outputs short)" ]; do sleep 0.02; done
    pactl suspend-sink bench_sink 1
    pactl suspend-sink bench_sink 0
}

# Starts a private PipeWire with its session manager (which needs a session
# bus) and its PulseAudio server, and a null sink as the default.
pipewire_up() {
    dbus-daemon --session --fork --print-address=3 --print-pid=4 3>"$work/bus" 4>"$work/buspid"
    DBUS_SESSION_BUS_ADDRESS=$(cat "$work/bus")
    export DBUS_SESSION_BUS_ADDRESS
    pids+=("$(cat "$work/buspid")")
    pipewire >/dev/null 2>&1 &
    pids+=($!)
    wireplumber >/dev/null 2>&1 &
    pids+=($!)
    pipewire-pulse >/dev/null 2>&1 &
    pids+=($!)
    local tries=0
    until pactl info >/dev/null 2>&1 && pactl list short sinks | grep -q bench_sink &&
        pactl set-default-sink bench_sink 2>/dev/null; do
        [ $((tries % 40)) = 0 ] && pactl load-module module-null-sink sink_name=bench_sink \
            rate=48000 channels=2 >/dev/null 2>&1
        tries=$((tries + 1))
        [ "$tries" -lt 400 ] || { echo "output_latency.sh: PipeWire did not come up" >&2; exit 1; }
        sleep 0.05
    done
}

busy_up() {
    for _ in 1 2; do
        sh -c 'while :; do :; done' &
        pids+=($!)
    done
}

field() { # field REGEX: the first capture of REGEX in the run's output
    sed -nE "s/.*$1.*/\\1/p" "$work/out" | head -1
}

echo "| back end | period | load | key to first frame: median / p99 | late cycles / cycles | longest gap | server underruns | output latency | key to ear: median / p95 |"
echo "|---|---|---|---|---|---|---|---|---|"
for backend in $backends; do
    for load in idle loaded; do
        for period in $periods; do
            [ "$load" = loaded ] && busy_up
            [ "$backend" = pulseaudio ] && pulse_up
            [ "$backend" = pipewire ] && pipewire_up
            # SIGKILL after 90 s: SDL's pipewire driver can wait for ever
            # for a session manager that is gone, and play's SIGTERM
            # handling cannot end a thread blocked there.
            SDL_AUDIODRIVER=$backend timeout -s KILL 90 "$cli" play --trace "$trace" --period "$period" --tail 1 \
                >"$work/out" 2>&1 || { cat "$work/out" >&2; exit 1; }
            underruns=-
            if [ "$backend" = pulseaudio ]; then
                # Each reported underrun is followed by one "end of underrun";
                # the stream's close at the end of the run makes one.
                underruns=$(grep -c "Implicit underrun of\|Underrun on '" "$work/pa.log" || true)
            fi
            stop_all
            median=$(field '^  median ([0-9.]+) ms, p99')
            p99=$(field '^  median [0-9.]+ ms, p99 ([0-9.]+) ms')
            cycles=$(field '; ([0-9]+) render cycles')
            late=$(field 'render cycles, ([0-9]+) late')
            gap=$(field 'longest gap ([0-9.]+) ms')
            output=$(field '^Output latency: ([0-9.]+ ms[^(]*)' | sed 's/, *$//; s/ *$//')
            source=$(grep -q '^Output latency: [0-9.]* ms, stated' "$work/out" && echo stated || echo "one period")
            ear=$(field '^Key to ear, estimated: median ([0-9.]+ ms, p95 [0-9.]+) ms' | sed 's/ ms, p95 / \/ /')
            echo "| $backend | $period | $load | $median / $p99 ms | $late / $cycles | $gap ms | $underruns | ${output%% ms*} ms ($source) | $ear ms |"
        done
    done
done
