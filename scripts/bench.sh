#!/usr/bin/env bash
# Builds the benchmarks in release mode, runs the micro benchmarks (decoding, ring, delivery,
# producer isolation, agent memory), then real traffic: dnsperf against unbound with dnstap into
# the agent and the agent into the reference collector, and the same dnstap stream into
# fstrm_capture writing a file. Prints one table. Bounded: each dnsperf run lasts
# TARN_BENCH_SECONDS (default 10, at most 20), the whole script at most 10 minutes.
#   TARN_BENCH_REPETITIONS  runs of every figure, the median is reported (default 3)
#   TARN_BENCH_STAGES       "micro traffic" (default both)
#   TARN_BENCH_PACED_QPS    the lower, fixed query rate of the second traffic runs (25000)
set -euo pipefail

if [ -z "${TARN_BENCH_BOUNDED:-}" ]; then
    export TARN_BENCH_BOUNDED=1
    exec timeout --foreground -k 10 600 bash "$0" "$@"
fi

source "$(dirname "${BASH_SOURCE[0]}")/build-env.sh"
source_dir=$TARN_SOURCE
build=$TARN_BUILD_ROOT-bench
repetitions=${TARN_BENCH_REPETITIONS:-3}
seconds=${TARN_BENCH_SECONDS:-10}
[ "$seconds" -gt 20 ] && seconds=20
stages=${TARN_BENCH_STAGES:-micro traffic}
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
cmake --build "$build" -j2 --target tarn_bench agent collector >/dev/null
echo "bench: build in $build, results in $work" >&2

# --- micro benchmarks ----------------------------------------------------------------------
if [[ " $stages " == *" micro "* ]]; then
    echo "bench: micro benchmarks, $repetitions repetitions each" >&2
    (cd "$work" && timeout 400 "$build/bench/tarn_bench" \
        --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
        --benchmark_out="$work/micro.json" --benchmark_out_format=json >"$work/micro.txt")
fi

# --- real traffic --------------------------------------------------------------------------
cpu_ticks() {  # utime + stime of a process, in clock ticks
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}

wait_for() {  # wait_for TEST... : up to 10 s
    for _ in $(seq 100); do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    return 1
}

# Waits until the process has used no CPU for a second (it has drained what it holds).
wait_idle() {
    local last now
    last=$(cpu_ticks "$1")
    for _ in $(seq 20); do
        sleep 1
        now=$(cpu_ticks "$1")
        [ "$now" = "$last" ] && return 0
        last=$now
    done
}

write_unbound_conf() {  # write_unbound_conf DIR DNSTAP_SOCKET
    cat >"$1/unbound.conf" <<CONF
server:
    interface: 127.0.0.1
    port: $dns_port
    num-threads: 1
    do-daemonize: no
    username: ""
    chroot: ""
    directory: "$1"
    pidfile: "$1/unbound.pid"
    use-syslog: no
    logfile: "$1/unbound.log"
    verbosity: 0
    local-zone: "example.test." static
    local-data: "www.example.test. 300 IN A 192.0.2.10"
    local-data: "mail.example.test. 300 IN A 192.0.2.25"
    local-data: "example.test. 300 IN MX 10 mail.example.test."
    local-data: "example.test. 300 IN TXT \"a text record that makes the answer longer than a plain address record does\""
remote-control:
    control-enable: yes
    control-interface: "$1/unbound.ctl"
    control-use-cert: no
dnstap:
    dnstap-enable: yes
    dnstap-socket-path: "$2"
    dnstap-send-identity: no
    dnstap-send-version: no
    dnstap-log-client-query-messages: yes
    dnstap-log-client-response-messages: yes
CONF
}

unbound_queries() {
    unbound-control -c "$1/unbound.conf" stats_noreset | sed -n 's/^total.num.queries=//p'
}

# Data frames in a Frame Streams file (control frames have a zero length in front).
count_frames() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at, frames = 0, 0
while at + 4 <= len(data):
    (length,) = struct.unpack_from(">I", data, at)
    at += 4
    if length == 0:
        (length,) = struct.unpack_from(">I", data, at)
        at += 4
    else:
        frames += 1
    at += length
print(frames)
PY
}

# One run: the capture ("agent" or "fstrm"), unbound, dnsperf for $seconds s at the highest
# rate it reaches (rate "max") or at a fixed one; prints key=value fields.
traffic_run() {
    local kind=$1 run=$2 rate=$3 dir="$work/traffic-$1-$3-$2" capture_pid collector_pid=""
    local rate_option=()
    [ "$rate" != max ] && rate_option=(-Q "$rate")
    mkdir -p "$dir/agent/log"
    local socket="$dir/dnstap.sock"
    if [ "$kind" = agent ]; then
        "$build/collector/collector" --port 0 >/dev/null 2>"$dir/collector.err" &
        collector_pid=$!
        pids+=("$collector_pid")
        wait_for grep -q "^listening on" "$dir/collector.err"
        local port
        port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$dir/collector.err" | head -n1)
        cp "$build/agent" "$dir/agent/agent"
        # queue-size stays at its default (100 MiB).
        printf 'target 127.0.0.1:%s 5\ndnstap-socket %s\n' "$port" "$socket" \
            >"$dir/agent/agent.conf"
        "$dir/agent/agent" "$dir/agent/agent.conf" &
        capture_pid=$!
    else
        fstrm_capture -t protobuf:dnstap.Dnstap -u "$socket" -w "$dir/capture.fstrm" \
            2>"$dir/fstrm.err" &
        capture_pid=$!
    fi
    pids=("$capture_pid" "${pids[@]}")
    wait_for test -S "$socket"
    write_unbound_conf "$dir" "$socket"
    unbound -c "$dir/unbound.conf" &
    local unbound_pid=$!
    pids=("$unbound_pid" "${pids[@]}")
    wait_for test -S "$dir/unbound.ctl"
    wait_for dig @127.0.0.1 -p "$dns_port" www.example.test A +tries=1 +time=1 +short >/dev/null
    sleep 1
    wait_idle "$capture_pid"

    local ticks_before ticks_after queries
    ticks_before=$(cpu_ticks "$capture_pid")
    timeout $((seconds + 10)) dnsperf -s 127.0.0.1 -p "$dns_port" -d "$work/queries.txt" \
        -l "$seconds" -c 4 -q 200 -t 2 "${rate_option[@]}" >"$dir/dnsperf.txt" 2>&1 || true
    wait_idle "$capture_pid"
    queries=$(unbound_queries "$dir")
    ticks_after=$(cpu_ticks "$capture_pid")

    # Stop the server first, then the capture, so every frame is flushed where it goes.
    kill -INT "$unbound_pid"
    wait "$unbound_pid" 2>/dev/null || true
    local captured
    if [ "$kind" = agent ]; then
        wait_idle "$capture_pid"
        wait_idle "$collector_pid"
        kill -INT "$collector_pid"
        wait "$collector_pid" 2>/dev/null || true
        captured=$(sed -n 's/^summary: .* records \([0-9]*\) .*/\1/p' "$dir/collector.err")
        kill -INT "$capture_pid"
        wait "$capture_pid" 2>/dev/null || true
    else
        kill -INT "$capture_pid"
        wait "$capture_pid" 2>/dev/null || true
        captured=$(count_frames "$dir/capture.fstrm")
    fi
    stop_all

    local qps sent completed
    qps=$(sed -n 's/^ *Queries per second: *\([0-9.]*\).*/\1/p' "$dir/dnsperf.txt")
    sent=$(sed -n 's/^ *Queries sent: *\([0-9]*\).*/\1/p' "$dir/dnsperf.txt")
    completed=$(sed -n 's/^ *Queries completed: *\([0-9]*\).*/\1/p' "$dir/dnsperf.txt")
    # Every query the server took since it started (the warm-up dig included) produced a query
    # frame and a response frame.
    local expected=$((2 * queries))
    local ticks_per_second
    ticks_per_second=$(getconf CLK_TCK)
    echo "kind=$kind rate=$rate run=$run qps=$qps sent=$sent completed=$completed server_queries=$queries frames_expected=$expected captured=$captured cpu_seconds=$(awk -v t=$((ticks_after - ticks_before)) -v h="$ticks_per_second" 'BEGIN { printf "%.2f", t / h }')"
}

if [[ " $stages " == *" traffic "* ]]; then
    printf '%s\n' "www.example.test A" "mail.example.test A" "example.test MX" \
        "example.test TXT" "missing.example.test A" >"$work/queries.txt"
    : >"$work/traffic.txt"
    for run in $(seq "$repetitions"); do
        for rate in max "$paced_qps"; do
            for kind in agent fstrm; do
                echo "bench: real traffic, $kind at $rate queries/s, run $run of $repetitions" >&2
                traffic_run "$kind" "$run" "$rate" >>"$work/traffic.txt"
                tail -n 1 "$work/traffic.txt" >&2
            done
        done
    done
fi

# --- the table -----------------------------------------------------------------------------
python3 - "$work" <<'PY'
import json, os, statistics, sys

work = sys.argv[1]
rows = []

def row(figure, value, target=""):
    rows.append((figure, value, target))

micro = {}
path = os.path.join(work, "micro.json")
if os.path.exists(path):
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            micro[b["run_name"]] = b

def get(name, counter):
    b = micro.get(name)
    return None if b is None else b.get(counter)

def fmt(value, unit="", digits=0):
    if value is None:
        return "n/a"
    return f"{value:,.{digits}f}{unit}"

if micro:
    ns = lambda name: None if get(name, "ns_per_event") is None else get(name, "ns_per_event") * 1e9
    for size in (60, 120, 250, 500):
        n = f"BM_DecodeAndPush/{size}"
        row(f"1 decode+push, {size}-byte packets",
            f"{fmt(ns(n), ' ns/event')}, {fmt(get(n, 'allocs_per_event'), ' allocs/event', 2)}",
            "<= 300 ns, 0 allocs")
    for size in (60, 250, 500):
        n = f"BM_DnstapFrameToRing/{size}"
        row(f"1b dnstap frame to ring, {size}-byte packets",
            f"{fmt(ns(n), ' ns/event')}, {fmt(get(n, 'allocs_per_event'), ' allocs/event', 2)}")
    for size in (100, 1024):
        n = f"BM_QueuePushPop/{size}/real_time"
        row(f"2 queue push/pop, {size}-byte messages",
            f"{fmt(get(n, 'pairs_per_s'), ' pairs/s')}, lost {fmt(get(n, 'lost'))}")
    for sink, records, label in ((0, 200000, "reference collector"), (1, 300000, "draining sink")):
        n = f"BM_PipelineVersusRawLoop/sink:{sink}/records:{records}/iterations:5/manual_time"
        row(f"3 pipeline to {label}",
            f"{fmt(get(n, 'agent_msgs_per_s'), ' msg/s')}, {fmt(get(n, 'agent_MB_per_s'), ' MB/s', 1)}")
        row(f"3 raw two-send loop to {label}",
            f"{fmt(get(n, 'raw_msgs_per_s'), ' msg/s')}, {fmt(get(n, 'raw_MB_per_s'), ' MB/s', 1)}")
        row(f"3 ratio pipeline / raw ({label})", fmt(get(n, "ratio"), "", 2), ">= 0.9")
    for mode, label in ((0, "collector never reads"), (1, "no collector")):
        n = f"BM_PushLatencyWhileStuck/absent:{mode}/iterations:1"
        row(f"4 push latency, {label}",
            f"p50 {fmt(get(n, 'p50_ns'), ' ns')}, p99 {fmt(get(n, 'p99_ns'), ' ns')}, "
            f"p99.9 {fmt(get(n, 'p999_ns'), ' ns')}, max {fmt(get(n, 'max_ns'), ' ns')}",
            "p99.9 < 10000 ns")
    for q in (16, 64):
        n = f"BM_AgentMemoryAfterOverflow/queue_MiB:{q}/iterations:1"
        row(f"4 agent peak RSS, queue-size {q} MiB",
            f"{fmt(get(n, 'peak_rss_MiB'), ' MiB', 1)} "
            f"(queue + {fmt(get(n, 'over_queue_MiB'), ' MiB', 1)}) after "
            f"{fmt(get(n, 'ring_passes'), ' ring passes', 0)}", "<= queue + 16 MiB")

path = os.path.join(work, "traffic.txt")
if os.path.exists(path):
    runs = {}
    for line in open(path):
        fields = dict(item.split("=", 1) for item in line.split())
        try:
            for key in ("qps", "captured", "frames_expected", "cpu_seconds"):
                fields[key] = float(fields[key])
        except (KeyError, ValueError):
            continue
        runs.setdefault((fields["kind"], fields["rate"]), []).append(fields)

    def median(key, f):
        values = [f(r) for r in runs.get(key, [])]
        return statistics.median(values) if values else None

    per_event = lambda r: r["cpu_seconds"] / r["captured"] * 1e6 if r["captured"] else 0
    loss = lambda r: (1 - r["captured"] / r["frames_expected"]) * 100
    for rate in sorted({k[1] for k in runs}, key=lambda r: (r != "max", r)):
        where = "highest rate" if rate == "max" else f"paced at {rate} q/s"
        for kind, label in (("agent", "agent -> collector"), ("fstrm", "fstrm_capture -> file")):
            key = (kind, rate)
            if key not in runs:
                continue
            row(f"5 {where}, {label}: queries/s", fmt(median(key, lambda r: r["qps"])))
            # The run with the median loss, so its two counts belong together.
            ranked = sorted(runs[key], key=loss)
            middle = ranked[(len(ranked) - 1) // 2]
            row(f"5 {where}, {label}: captured / frames sent",
                f"{fmt(middle['captured'])} / {fmt(middle['frames_expected'])} "
                f"(loss {fmt(loss(middle), ' %', 2)}; worst run {fmt(loss(ranked[-1]), ' %', 2)})",
                "no loss" if kind == "agent" else "")
            row(f"5 {where}, {label}: CPU per event", fmt(median(key, per_event), " us", 2))
        a, f = median(("agent", rate), per_event), median(("fstrm", rate), per_event)
        if a and f:
            row(f"5 {where}, CPU per event agent / fstrm_capture", f"{a / f:.2f}", "<= 1.0")

width = [max(len(r[i]) for r in rows + [("Figure", "Median", "Target")]) for i in range(3)]
print(f"| {'Figure':<{width[0]}} | {'Median':<{width[1]}} | {'Target':<{width[2]}} |")
print(f"|{'-' * (width[0] + 2)}|{'-' * (width[1] + 2)}|{'-' * (width[2] + 2)}|")
for r in rows:
    print(f"| {r[0]:<{width[0]}} | {r[1]:<{width[1]}} | {r[2]:<{width[2]}} |")
PY
