# Real traffic for scripts/bench.sh (sourced): unbound with dnstap into the agent and the agent
# into a sink that writes its stream to a file (bench/stream_sink.cpp; with agent-tls, openssl
# s_server over mutual TLS), or the same dnstap stream into fstrm_capture writing a file or into
# the bare reader (bench/bare_reader.cpp); dnsperf drives it.
# Uses build, work, certs, seconds, dns_port, source_dir and pids from the caller.

source "$source_dir/scripts/unbound-conf.sh"

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

unbound_queries() {
    unbound-control -c "$1/unbound.conf" stats_noreset | sed -n 's/^total.num.queries=//p'
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The agent's collector for agent-tls: s_server on a free port, mutual TLS, the stream to FILE.
start_tls_sink() {  # DIR FILE; sets sink_pid and port
    port=$(free_port)
    mkfifo "$1/in"
    (cd "$certs" && exec openssl s_server -quiet -naccept 1 -accept "127.0.0.1:$port" \
        -cert collector.pem -key collector.key -Verify 1 -verify_return_error -CAfile ca.pem \
        <>"$1/in" >"$2" 2>"$1/sink.err") &
    sink_pid=$!
    pids+=("$sink_pid")
    wait_for listening "$port"
}

listening() { ss -Hltn "sport = :$1" | grep -q .; }

# One run: the capture ("agent", "agent-metrics", "agent-tls", "fstrm" or "bare"), unbound, dnsperf for $seconds s at the highest
# rate it reaches (rate "max") or at a fixed one; prints key=value fields.
traffic_run() {
    local kind=$1 run=$2 rate=$3 dir="$work/traffic-$1-$3-$2" capture_pid sink_pid=""
    local rate_option=()
    [ "$rate" != max ] && rate_option=(-Q "$rate")
    mkdir -p "$dir/agent/log"
    local socket="$dir/dnstap.sock"
    if [[ $kind == agent* ]]; then
        local port extra=""  # the configuration's other lines
        if [ "$kind" = agent-tls ]; then
            start_tls_sink "$dir" "$dir/stream.bin"
            extra=$(printf 'tls on\ntls-ca %s/ca.pem\ntls-cert %s/agent.pem\ntls-key %s/agent.key' \
                "$certs" "$certs" "$certs")
        else
            "$build/bench/stream_sink" "$dir/stream.bin" 2>"$dir/sink.err" &
            sink_pid=$!
            pids+=("$sink_pid")
            wait_for grep -q "^listening on" "$dir/sink.err"
            port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$dir/sink.err" | head -n1)
        fi
        cp "$build/agent" "$dir/agent/agent"
        [ "$kind" = agent-metrics ] && extra="metrics-file $dir/agent/metrics.prom"
        # queue-size stays at its default (100 MiB).
        printf 'target 127.0.0.1:%s 5\ndnstap-socket %s\n%s\n' "$port" "$socket" "$extra" \
            >"$dir/agent/agent.conf"
        "$dir/agent/agent" "$dir/agent/agent.conf" &
        capture_pid=$!
    elif [ "$kind" = bare ]; then
        "$build/bench/bare_reader" "$socket" 2>"$dir/bare.err" &
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

    local ticks_before ticks_after queries profiler=""
    if [ -n "${TARN_BENCH_PROFILE:-}" ]; then  # where the capture's CPU goes, for perf report
        perf record -q -e cpu-clock -F 4999 -p "$capture_pid" -o "$dir/perf.data" \
            -- sleep "$seconds" 2>/dev/null &
        profiler=$!
    fi
    ticks_before=$(cpu_ticks "$capture_pid")
    timeout $((seconds + 10)) dnsperf -s 127.0.0.1 -p "$dns_port" -d "$work/queries.txt" \
        -l "$seconds" -c 4 -q 200 -t 2 "${rate_option[@]}" >"$dir/dnsperf.txt" 2>&1 || true
    [ -n "$profiler" ] && wait "$profiler"
    wait_idle "$capture_pid"
    queries=$(unbound_queries "$dir")
    ticks_after=$(cpu_ticks "$capture_pid")

    # Stop the server first, then the capture, so every frame is flushed where it goes.
    kill -INT "$unbound_pid"
    wait "$unbound_pid" 2>/dev/null || true
    local captured
    if [[ $kind == agent* ]]; then
        wait_idle "$capture_pid"
        wait_idle "$sink_pid"
        kill -INT "$capture_pid"
        wait "$capture_pid" 2>/dev/null || true
        kill -INT "$sink_pid" 2>/dev/null || true  # s_server ends with its connection
        wait "$sink_pid" 2>/dev/null || true
        captured=$(python3 "$source_dir/bench/report.py" count-records "$dir/stream.bin")
    elif [ "$kind" = bare ]; then
        kill -INT "$capture_pid" 2>/dev/null || true
        wait "$capture_pid" 2>/dev/null || true
        captured=$(sed -n 's/^frames //p' "$dir/bare.err")
    else
        kill -INT "$capture_pid"
        wait "$capture_pid" 2>/dev/null || true
        captured=$(python3 "$source_dir/bench/report.py" count-frames "$dir/capture.fstrm")
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
