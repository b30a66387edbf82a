#!/usr/bin/env bash
# Builds the benchmarks in release mode, runs the micro benchmarks (decoding, ring, delivery,
# producer isolation, agent memory), then real traffic: dnsperf against unbound with dnstap into
# the agent and the agent into a sink writing its stream to a file, the same dnstap stream into
# fstrm_capture writing a file, and into a bare reader (the floor); at the paced rate also the
# agent over mutual TLS and the agent writing its metrics file; then the collector alone on
# replayed records: into ClickHouse, JSON lines, no output, and with up to 4,000 agents. Prints one table. Bounded: each dnsperf run lasts TARN_BENCH_SECONDS
# (default 10, at most 20), the whole script at most 15 minutes.
#   TARN_BENCH_REPETITIONS  runs of every figure, the median is reported (default 3)
#   TARN_BENCH_STAGES       "micro traffic collector" (default all)
#   TARN_BENCH_RECORDS      records replayed into the collector per run (default 2000000)
#   TARN_BENCH_PACED_QPS    the lower, fixed query rate of the second traffic runs (25000)
#   TARN_BENCH_PROFILE      when set, each capture is sampled by perf during its load
#                           (perf.data in its run's directory; sampling costs the capture CPU)
set -euo pipefail

if [ -z "${TARN_BENCH_BOUNDED:-}" ]; then
    export TARN_BENCH_BOUNDED=1
    exec timeout --foreground -k 10 900 bash "$0" "$@"
fi

source "$(dirname "${BASH_SOURCE[0]}")/build-env.sh"
source_dir=$TARN_SOURCE
build=$TARN_BUILD_ROOT-bench
repetitions=${TARN_BENCH_REPETITIONS:-3}
seconds=${TARN_BENCH_SECONDS:-10}
[ "$seconds" -gt 20 ] && seconds=20
stages=${TARN_BENCH_STAGES:-micro traffic collector}
records=${TARN_BENCH_RECORDS:-2000000}
paced_qps=${TARN_BENCH_PACED_QPS:-25000}
work=$(mktemp -d /tmp/tarn-bench.XXXXXX)
dns_port=${TARN_BENCH_DNS_PORT:-5354}
pids=()

stop_all() {
    for pid in "${pids[@]}"; do
        kill -INT "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        timeout 10 tail --pid="$pid" -f /dev/null 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    pids=()
}
trap stop_all EXIT

bash "$source_dir/scripts/setup.sh" >/dev/null
build_dir_ready "$build"
cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_TESTS=OFF \
    -DTARN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target tarn_bench agent collector stream_sink bare_reader \
    replay_agents row_formats >/dev/null
echo "bench: build in $build, results in $work" >&2
certs=$work/certs  # for the TLS rows
mkdir "$certs"
bash "$source_dir/scripts/test-certs.sh" "$certs"
export TARN_BENCH_CERTS=$certs

# --- micro benchmarks ----------------------------------------------------------------------
if [[ " $stages " == *" micro "* ]]; then
    echo "bench: micro benchmarks, $repetitions repetitions each" >&2
    (cd "$work" && timeout 400 "$build/bench/tarn_bench" \
        --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
        --benchmark_out="$work/micro.json" --benchmark_out_format=json >"$work/micro.txt")
fi

# --- real traffic --------------------------------------------------------------------------
source "$source_dir/bench/traffic.sh"

if [[ " $stages " == *" traffic "* ]]; then
    printf '%s\n' "www.example.test A" "mail.example.test A" "example.test MX" \
        "example.test TXT" "missing.example.test A" >"$work/queries.txt"
    : >"$work/traffic.txt"
    for run in $(seq "$repetitions"); do
        for rate in max "$paced_qps"; do
            kinds="agent fstrm bare"
            [ "$rate" != max ] && kinds="agent agent-metrics agent-tls fstrm bare"
            for kind in $kinds; do
                echo "bench: real traffic, $kind at $rate queries/s, run $run of $repetitions" >&2
                traffic_run "$kind" "$run" "$rate" >>"$work/traffic.txt"
                tail -n 1 "$work/traffic.txt" >&2
            done
        done
    done
fi

# --- the collector alone, replayed records -------------------------------------------------
if [[ " $stages " == *" collector "* ]]; then
    source "$source_dir/bench/collector_runs.sh"
    start_clickhouse
    : >"$work/collector.txt"
    for run in $(seq "$repetitions"); do
        for case in "clickhouse 4" "clickhouse-warm 4" "json 4" "none 4" "none 100" "none 1000" \
            "none 4000"; do
            echo "bench: collector, $case agents, run $run of $repetitions" >&2
            collector_run $case "$run" >>"$work/collector.txt"
            tail -n 1 "$work/collector.txt" >&2
        done
        echo "bench: ClickHouse row formats, run $run of $repetitions" >&2
        row_formats_run "$run"
    done
fi

# --- the table -----------------------------------------------------------------------------
python3 "$source_dir/bench/report.py" table "$work"
