# The collector alone for scripts/bench.sh (sourced): replayed records from several agents at
# the highest rate they reach on loopback (bench/replay_agents.cpp), into ClickHouse, into JSON
# lines only (to /dev/null), and into no output at all (--no-json: the collector's own floor);
# then that floor with 100, 1,000 and 4,000 agents connected at once. Prints key=value lines.
# Uses build, work, records from the caller, and cpu_ticks, free_port, wait_for and wait_idle
# from bench/traffic.sh.

start_clickhouse() {  # sets clickhouse_pid and clickhouse_url
    local dir=$work/clickhouse http
    http=$(free_port)
    mkdir -p "$dir"
    cat >"$dir/config.xml" <<XML
<?xml version="1.0"?>
<yandex>
  <logger><level>warning</level><log>$dir/server.log</log><errorlog>$dir/server.err.log</errorlog></logger>
  <http_port>$http</http_port><tcp_port>$(free_port)</tcp_port><listen_host>127.0.0.1</listen_host>
  <path>$dir/data/</path><tmp_path>$dir/tmp/</tmp_path><user_files_path>$dir/files/</user_files_path>
  <users_config>/etc/clickhouse-server/users.xml</users_config>
  <default_profile>default</default_profile><default_database>default</default_database>
  <mark_cache_size>536870912</mark_cache_size>
</yandex>
XML
    clickhouse-server --config-file="$dir/config.xml" >"$dir/stdout" 2>&1 &
    clickhouse_pid=$!
    pids+=("$clickhouse_pid")
    clickhouse_url="http://127.0.0.1:$http/"
    wait_for curl -sf "${clickhouse_url}ping" -o /dev/null
}

rows_in() {  # TABLE
    curl -s --data-binary "SELECT count() FROM $1" "$clickhouse_url" 2>/dev/null || echo 0
}

# One run: MODE (clickhouse, json or none) with AGENTS agents; RUN names its table.
collector_run() {
    local mode=$1 agents=$2 run=$3 table="bench_$1_$2_$3" args=(--no-json) out=/dev/null
    local dir=$work/collector-$mode-$agents-$run port pid begin end ch_before=0 ch_after=0
    mkdir -p "$dir"
    [ "$mode" = json ] && args=()
    # Room for every row: the run measures what ClickHouse sustains, not the output's bound.
    [ "$mode" = clickhouse ] && args+=(--clickhouse "$clickhouse_url" --clickhouse-table "$table"
        --buffer 1073741824)
    "$build/collector/collector" --port 0 --max-connections 5000 "${args[@]}" >"$out" \
        2>"$dir/collector.err" &
    pid=$!
    pids=("$pid" "${pids[@]}")
    wait_for grep -q "^listening on" "$dir/collector.err"
    port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$dir/collector.err" | head -n1)
    # The agents connect first and go on a line through the fifo: the figures are the
    # streaming's, not the kernel's cost of making and closing thousands of connections.
    local ticks_before ticks_after replay
    mkfifo "$dir/go"
    "$build/bench/replay_agents" "$port" "$agents" "$records" --held <"$dir/go" \
        >"$dir/replay.txt" &
    replay=$!
    exec {go}>"$dir/go"
    for _ in $(seq 600); do
        grep -q "^connected" "$dir/replay.txt" && break
        sleep 0.1
    done
    wait_idle "$pid"
    ticks_before=$(cpu_ticks "$pid")
    [ "$mode" = clickhouse ] && ch_before=$(cpu_ticks "$clickhouse_pid")
    begin=$(date +%s.%N)
    echo go >&"$go"
    for _ in $(seq 600); do
        grep -q "^records=" "$dir/replay.txt" && break
        sleep 0.1
    done
    if [ "$mode" = clickhouse ]; then  # until every row is in, at most a minute
        for _ in $(seq 600); do
            [ "$(rows_in "$table")" -ge "$records" ] && break
            sleep 0.1
        done
    fi
    end=$(date +%s.%N)
    wait_idle "$pid"
    ticks_after=$(cpu_ticks "$pid")
    [ "$mode" = clickhouse ] && ch_after=$(cpu_ticks "$clickhouse_pid")
    local rows=$records
    [ "$mode" = clickhouse ] && rows=$(rows_in "$table")
    exec {go}>&-
    wait "$replay"
    kill -INT "$pid"
    wait "$pid" 2>/dev/null || true
    if [ "$mode" = clickhouse ]; then  # ClickHouse's merges would take the next run's CPU
        for _ in $(seq 300); do
            [ "$(curl -s --data-binary "SELECT count() FROM system.merges" "$clickhouse_url")" = 0 ] &&
                break
            sleep 0.1
        done
    fi
    awk -v m="$mode" -v a="$agents" -v r="$run" -v n="$records" -v rows="$rows" \
        -v c=$((ticks_after - ticks_before)) -v ch=$((ch_after - ch_before)) \
        -v b="$begin" -v e="$end" -v h="$(getconf CLK_TCK)" \
        'BEGIN { printf "kind=collector mode=%s agents=%s run=%s records=%d rows=%d collector_cpu_seconds=%.2f clickhouse_cpu_seconds=%.2f seconds=%.2f\n", m, a, r, n, rows, c / h, ch / h, e - b }'
}
