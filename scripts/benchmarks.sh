#!/usr/bin/env bash
# Runs every benchmark and writes BENCHMARKS.md: the machine, the date, and
# each figure beside its reference from the same run, with the command that
# produced it.
#
#   scripts/benchmarks.sh [-o FILE]        (make benchmarks)
#   environment: IDLE_SECONDS (default 60), CASES_SECONDS (default 120),
#                BENCH_REPETITIONS (default 5)
#
# Where figures come from:
# - Every Google Benchmark program build/default/bin/bench_* (one per
#   bench/bench_<topic>.cpp) runs with --benchmark_repetitions and
#   aggregates only; all its benchmarks are listed. A bench source declares
#   which benchmark is measured against which with a comment line
#       // ratio: BM_figure / BM_reference
#   and gets that ratio printed beside it.
# - The FIGURES table below names the project's headline figures. A figure
#   whose source is empty, or whose benchmark or program does not exist yet,
#   is printed as "not yet measured"; filling in its source is all it takes.
# - Idle figures run bench/idle_cost.sh with the peer, Debian's bucklespring
#   (installed here on demand; it is not a build dependency), in the same
#   window.
set -euo pipefail
shopt -s nullglob

cd "$(dirname "$0")/.."
root=$PWD
out=$root/BENCHMARKS.md
while getopts "o:" opt; do
    case $opt in
    o) out=$OPTARG ;;
    *) exit 2 ;;
    esac
done
idle_seconds=${IDLE_SECONDS:-60}
cases_seconds=${CASES_SECONDS:-120}
repetitions=${BENCH_REPETITIONS:-5}

# The headline figures, one per line:
#   section | figure | source | reference | goal
# (no "|" inside a field: put a pipeline in a script)
# source:    bench:BM_NAME          median CPU time of that benchmark
#            idle:COMMAND           idle cost of COMMAND (run from the
#                                   repository root), beside the peer's
#            cmd:COMMAND            the last line COMMAND prints
#            (empty)                not yet measured
# reference: bench:BM_NAME (ratio source/reference), peer (for idle), or -
# Commands may use $BIN (build/default/bin).
FIGURES=$(
    cat <<'EOF'
Audio | render cost of a 256-frame cycle at 48 kHz with 32 voices (mono, AVX-512 mixing) | cmd:bench/counter.sh $BIN/bench_mixer renderCycle/voices:32/channels:1/kernel:2/unit:0 'rt_share_pct=% of real time' 'x_reference=x the plain reference loop (same run)' | - | <= 1.2 x a plain reference loop, about 0.2 % of real time
Keystroke | window query per key press | bench:BM_tca_ring_query_window | bench:BM_reference_naive_query_window | -
Keystroke | classification (window query + peak search) per key press | bench:BM_tca_impact_classify | bench:BM_reference_naive_query_window | <= 1.5 x a plain unsynchronised scan
Keystroke | ring write per accelerometer report | bench:BM_tca_ring_write | bench:BM_reference_naive_ring_write | -
Keystroke | key event to first rendered frame, real-time replay (median, p99, worst) minus searchPostMs + 10 ms | cmd:bench/play_delay.sh | - | p99 < 6 ms
Idle | running app, 1 kHz replayed sensor, no typing, 60 s | idle:$APP_ENV $BIN/clavio --background --replay $TRACES/accel.trace | peer | < 0.3 % of one core and below the peer; peak RSS < 40 MB
Idle | running app, 1 kHz replayed sensor, typing 10 keys/s, 60 s | idle:$APP_ENV $BIN/clavio --background --replay $TRACES/typing.trace | peer | -
Packs | default pack load | bench:BM_default_pack_load | bench:BM_reference_decode_default_pack_files | < 50 ms
Packs | default pack switch | bench:BM_default_pack_switch | bench:BM_reference_decode_default_pack_files | -
Packs | memory of the default pack's decoded samples | cmd:bench/counter.sh $BIN/bench_packs BM_reference_decode_default_pack_files 'decoded_MB=MB' 'files=files' | - | -
Offline | render speed of the demo session (audio seconds per CPU second) | cmd:bench/counter.sh $BIN/bench_render BM_RenderDemoSession/min_time:2.000 'audio_s_per_cpu_s=audio s per CPU s' | - | -
EOF
)

# The peer, measured only as the process named buckle (not its Xvfb).
PEER_LABEL="bucklespring (peer)"
PEER_NAME=buckle
PEER_CMD="ALSOFT_DRIVERS=null xvfb-run -a /usr/games/buckle"
# Stands in for the application in the idle window while no idle figure
# has a command, so the peer is still measured and the harness checked.
STAND_IN_CMD="sleep 100000"

BIN=$root/build/default/bin
export BIN

ensure_peer() {
    # xdotool types to the peer in the typing cases (bench/peer_typing.sh).
    [ -x /usr/games/buckle ] && command -v xdotool >/dev/null && return 0
    echo "benchmarks.sh: installing bucklespring (the idle-cost peer) and xdotool" >&2
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends \
        bucklespring xvfb xauth xdotool >&2 ||
        { $sudo apt-get update >&2 &&
            DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends \
                bucklespring xvfb xauth xdotool >&2; } || true
    [ -x /usr/games/buckle ]
}

# --- build and run the benchmark programs --------------------------------
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$root")}
cmake --preset default >/dev/null
bench_targets=()
for src in bench/bench_*.cpp; do
    bench_targets+=("$(basename "$src" .cpp)")
done
if [ ${#bench_targets[@]} -gt 0 ]; then
    cmake --build --preset default -j"$(nproc)" --target "${bench_targets[@]}" clavio clavio-cli clavio_sound_packs clavio_demo_session
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
results=$work/results.tsv # program, benchmark, stat, cpu ns, real ns
: >"$results"
bench_args=(--benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true)
declare -A bench_command
for t in "${bench_targets[@]}"; do
    echo "benchmarks.sh: running $t" >&2
    # JSON, not CSV: the CSV reporter aborts when benchmarks of one program
    # carry different counters.
    "$BIN/$t" "${bench_args[@]}" --benchmark_format=json >"$work/$t.json" 2>"$work/$t.err" || {
        echo "benchmarks.sh: $t failed:" >&2
        cat "$work/$t.err" >&2
        exit 1
    }
    bench_command[$t]="build/default/bin/$t ${bench_args[*]}"
    jq -r --arg prog "$t" '
        def ns(v; unit): if unit == "ns" then v elif unit == "us" then v * 1e3
            elif unit == "ms" then v * 1e6 else v * 1e9 end;
        .benchmarks[]
        | select(.run_type == "aggregate" and
                 (.aggregate_name == "mean" or .aggregate_name == "median" or .aggregate_name == "stddev"))
        | [$prog, .run_name, .aggregate_name,
           (ns(.cpu_time; .time_unit) | tostring), (ns(.real_time; .time_unit) | tostring)]
        | @tsv' "$work/$t.json" >>"$results"
done

trim() {
    local s=$1
    s=${s#"${s%%[![:space:]]*}"}
    printf '%s' "${s%"${s##*[![:space:]]}"}"
}

# stat_of BENCHMARK STAT [cpu|real] -> nanoseconds, or nothing
stat_of() {
    awk -F'\t' -v n="$1" -v s="$2" -v col="${3:-cpu}" \
        '$2 == n && $3 == s { print (col == "cpu" ? $4 : $5); exit }' "$results"
}
program_of() {
    awk -F'\t' -v n="$1" '$2 == n { print $1; exit }' "$results"
}
human_ns() {
    awk -v v="$1" 'BEGIN {
        if (v < 1e3) printf "%.1f ns", v; else if (v < 1e6) printf "%.2f us", v / 1e3;
        else if (v < 1e9) printf "%.2f ms", v / 1e6; else printf "%.2f s", v / 1e9 }'
}
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f x", a / b; else print "-" }'
}

# Ratio declarations from the bench sources: "figure reference" per line.
ratio_pairs=$(sed -n 's|^// ratio: *\(BM_[A-Za-z0-9_/]*\) */ *\(BM_[A-Za-z0-9_/]*\) *$|\1 \2|p' \
    bench/bench_*.cpp 2>/dev/null || true)

# --- idle windows ----------------------------------------------------------
peer_ok=0
if ensure_peer; then peer_ok=1; fi
idle_run() { # LABEL COMMAND -> harness rows for it (and the peer)
    local specs=("$1=$2")
    if [ $peer_ok = 1 ]; then specs+=("$PEER_LABEL@$PEER_NAME=$PEER_CMD"); fi
    echo "benchmarks.sh: idle window of ${idle_seconds}s: $1" >&2
    # Status 3: a replay did not stream at the trace's rate; the row says so.
    bench/idle_cost.sh -H -t "$idle_seconds" -r "$TRACE_RATE" "${specs[@]}" || [ $? = 3 ]
}
idle_command_line() {
    local line="bench/idle_cost.sh -t $idle_seconds -r $TRACE_RATE '$1=$2'"
    if [ $peer_ok = 1 ]; then line="$line '$PEER_LABEL@$PEER_NAME=$PEER_CMD'"; fi
    echo "$line"
}

# --- the running application's idle windows ---------------------------------
# Synthetic traces (bench/make_trace.sh), idle window plus settling and slack:
# 1 kHz resting reports only, and the same with 10 keys a second. The
# application replays them in real time with SDL's dummy audio driver, Qt's
# offscreen platform, no pings, and its settings in a scratch folder.
TRACES=$root/build/default/bench_traces
mkdir -p "$TRACES"
trace_seconds=$((idle_seconds + 20))
bench/make_trace.sh "$TRACES/accel.trace" "$trace_seconds" 0
bench/make_trace.sh "$TRACES/typing.trace" "$trace_seconds" 10
# The app states the replay's progress (CLAVIO_REPLAY_STAT) in the file the
# harness gives it, which checks the stream held the traces' 1000 reports/s.
TRACE_RATE=1000
APP_ENV="env -u CLAVIO_PING_URL SDL_AUDIODRIVER=dummy QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=$TRACES/config XDG_DATA_HOME=$TRACES/data CLAVIO_REPLAY_STAT=\$IDLE_COST_STAT"
export TRACES APP_ENV

# --- the report ------------------------------------------------------------
cpu_model=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
memory=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=$(git status --porcelain 2>/dev/null | grep -qv '^??' && echo " (with local changes)" || true)

figures_md=$work/figures.md
idle_md=$work/idle.md
: >"$idle_md"
idle_measured=0
{
    echo "| section | figure | value | reference (same run) | ratio | goal | command |"
    echo "|---|---|---|---|---|---|---|"
    # The table comes in on descriptor 3, so no command run below can eat it.
    while IFS='|' read -r section figure source reference goal <&3; do
        section=$(trim "$section") figure=$(trim "$figure") source=$(trim "$source")
        reference=$(trim "$reference") goal=$(trim "$goal")
        value="not yet measured" refcell="-" ratiocell="-" command="-"
        case $source in
        bench:*)
            name=${source#bench:}
            v=$(stat_of "$name" median)
            if [ -n "$v" ]; then
                value="$(human_ns "$v") CPU (median of $repetitions)"
                command="\`${bench_command[$(program_of "$name")]}\`"
                if [[ $reference == bench:* ]]; then
                    r=$(stat_of "${reference#bench:}" median)
                    if [ -n "$r" ]; then
                        refcell="${reference#bench:}: $(human_ns "$r")"
                        ratiocell=$(ratio "$v" "$r")
                    fi
                fi
            fi
            ;;
        idle:*)
            cmd=$(eval "echo \"${source#idle:}\"")
            rows=$(idle_run "$figure" "$cmd")
            idle_measured=1
            {
                echo "### $figure"
                echo
                echo "Command: \`$(idle_command_line "$figure" "$cmd")\`"
                echo
                echo "| program | command | CPU % of one core | peak RSS (MB) | processes | wake-ups/s | note |"
                echo "|---|---|---|---|---|---|---|"
                echo "$rows"
                echo
            } >>"$idle_md"
            value=$(echo "$rows" | head -n 1 | awk -F'|' '{ gsub(/^ +| +$/, "", $4); gsub(/ /, "", $5); print $4 " % CPU, " $5 " MB peak RSS" }')
            refcell=$(echo "$rows" | sed -n 2p | awk -F'|' '{ gsub(/ /, "", $4); gsub(/ /, "", $5); if ($4 != "") print "peer: " $4 " % CPU, " $5 " MB" }')
            refcell=${refcell:--}
            command="see Idle cost below"
            ;;
        cmd:*)
            cmd=${source#cmd:}
            if v=$(eval "$cmd" 2>/dev/null | tail -n 1) && [ -n "$v" ]; then
                value=$v
                command="\`${cmd//|/\\|}\`"
            fi
            ;;
        esac
        echo "| $section | $figure | $value | $refcell | $ratiocell | ${goal:--} | $command |"
    done 3<<<"$FIGURES"
} >"$figures_md"

if [ $idle_measured = 0 ]; then
    # No idle figure has a command yet: measure the peer beside a stand-in.
    rows=$(idle_run "stand-in (no application yet)" "$STAND_IN_CMD")
    {
        echo "### Peer beside a stand-in"
        echo
        echo "No idle figure of the application has a command yet; the peer is measured beside"
        echo "\`$STAND_IN_CMD\`, which also shows the harness adds nothing to what it measures."
        echo
        echo "Command: \`$(idle_command_line "stand-in (no application yet)" "$STAND_IN_CMD")\`"
        echo
        echo "| program | command | CPU % of one core | peak RSS (MB) | processes | wake-ups/s | note |"
        echo "|---|---|---|---|---|---|---|"
        echo "$rows"
        echo
    } >>"$idle_md"
fi
# The four idle and typing cases beside the peer, in one window.
cases_md=$work/cases.md
: >"$cases_md"
if [ $peer_ok = 1 ] && command -v xdotool >/dev/null; then
    echo "benchmarks.sh: idle and typing cases, ${cases_seconds}s" >&2
    cases_status=0
    bench/idle_cases.sh -t "$cases_seconds" -o "$work/cases" >/dev/null || cases_status=$?
    {
        echo "## Idle and typing cases, side by side with the peer"
        echo
        echo "Command: \`bench/idle_cases.sh -t $cases_seconds\`"
        [ $cases_status = 0 ] || echo "(ended with status $cases_status: see the CPU cells)"
        echo
        cat "$work/cases/cases.md"
        echo
        echo "Per thread (label, thread, tid, CPU % of one core, wake-ups/s):"
        echo
        echo '```'
        cat "$work/cases/threads.txt"
        echo '```'
        echo
        echo "Memory by mapping group at the end of the window (\`bench/rss_breakdown.sh\`):"
        echo
        cat "$work/cases/memory.md"
        echo
        echo "Key event to first rendered frame, same run: $(cat "$work/cases/play_delay.txt")"
        echo
    } >>"$cases_md"
fi
if [ $peer_ok = 0 ]; then
    echo "The peer could not be installed (apt-get install bucklespring failed); no peer figures." >>"$idle_md"
fi

{
    echo "# Benchmarks"
    echo
    echo "Written by \`scripts/benchmarks.sh\` (\`make benchmarks\`) on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit$dirty."
    echo
    echo "Machine: $cpu_model, $(nproc) cores, $memory memory, Linux $(uname -r), Debian $(cat /etc/debian_version 2>/dev/null || echo '?')."
    echo
    echo "Each figure stands beside a reference measured in the same run; on a shared or noisy"
    echo "machine the ratios carry, the absolute times less so. Times are CPU time per operation,"
    echo "the median of $repetitions repetitions."
    echo
    echo "## Figures"
    echo
    cat "$figures_md"
    echo
    echo "## Idle cost, side by side with the peer"
    echo
    echo "Measured by \`bench/idle_cost.sh\` over ${idle_seconds} s after 5 s to settle: CPU as a percentage"
    echo "of one core from /proc/PID/stat (utime+stime of every thread and reaped child), peak RSS"
    echo "as VmHWM from /proc/PID/status. The peer is Debian's bucklespring under Xvfb with"
    echo "OpenAL's null output (\`ALSOFT_DRIVERS=null\`), measured as its own process only."
    echo
    cat "$idle_md"
    cat "$cases_md"
    echo "## Every benchmark"
    echo
    for t in "${bench_targets[@]}"; do
        echo "### $t"
        echo
        echo "Command: \`${bench_command[$t]}\`"
        echo
        echo "| benchmark | CPU time (median) | CPU time (mean ± sd) | wall time (median) | reference (same run) | ratio |"
        echo "|---|---|---|---|---|---|"
        awk -F'\t' -v p="$t" '$1 == p && $3 == "median" { print $2 }' "$results" | while read -r name; do
            med=$(stat_of "$name" median)
            mean=$(stat_of "$name" mean)
            sd=$(stat_of "$name" stddev)
            wall=$(stat_of "$name" median real)
            refname=$(echo "$ratio_pairs" | awk -v n="$name" '$1 == n { print $2; exit }')
            refcell="-" ratiocell="-"
            if [ -n "$refname" ]; then
                r=$(stat_of "$refname" median)
                if [ -n "$r" ]; then
                    refcell="$refname: $(human_ns "$r")"
                    ratiocell=$(ratio "$med" "$r")
                fi
            fi
            echo "| $name | $(human_ns "$med") | $(human_ns "$mean") ± $(human_ns "$sd") | $(human_ns "$wall") | $refcell | $ratiocell |"
        done
        echo
    done
    if [ ${#bench_targets[@]} -eq 0 ]; then
        echo "No bench/bench_*.cpp programs."
    fi
} >"$out"
# Paths inside the checkout are written relative to it: the file describes
# the project, not the folder of the machine it ran on.
sed -i "s|$root/||g" "$out"
echo "benchmarks.sh: wrote $out" >&2
