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

# One replay into the running collector (pid, port, dir, table of collector_run): the agents
# connect first and go on a line through the fifo, so the figures are the streaming's, not the
# kernel's cost of making and closing thousands of connections. Sets ticks_before, ticks_after,
# ch_before, ch_after, begin and end; ROWS is the table's row count to wait for.
replay_once() {  # ROWS
    local replay go
    rm -f "$dir/go"
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
    [ -n "$table" ] && ch_before=$(cpu_ticks "$clickhouse_pid")
    begin=$(date +%s.%N)
    echo go >&"$go"
    for _ in $(seq 600); do
        grep -q "^records=" "$dir/replay.txt" && break
        sleep 0.1
    done
    if [ -n "$table" ]; then  # until every row is in, at most a minute
        for _ in $(seq 600); do
            [ "$(rows_in "$table")" -ge "$1" ] && break
            sleep 0.1
        done
    fi
    end=$(date +%s.%N)
    wait_idle "$pid"
    ticks_after=$(cpu_ticks "$pid")
    [ -n "$table" ] && ch_after=$(cpu_ticks "$clickhouse_pid")
    exec {go}>&-
    wait "$replay"
}

# One run: MODE (clickhouse, clickhouse-warm, json or none) with AGENTS agents; RUN names its
# table. clickhouse-warm measures a second replay into the same collector: its buffer's memory
# touched once already, as in a collector that has run for a while.
collector_run() {
    local mode=$1 agents=$2 run=$3 table="" args=(--no-json) out=/dev/null
    local dir=$work/collector-$mode-$agents-$run port pid begin end ch_before=0 ch_after=0
    local ticks_before ticks_after rows=$records
    mkdir -p "$dir"
    [ "$mode" = json ] && args=()
    # Room for every row: the run measures what ClickHouse sustains, not the output's bound.
    if [[ $mode == clickhouse* ]]; then
        table="bench_${mode/-/_}_${agents}_$run"
        args+=(--clickhouse "$clickhouse_url" --clickhouse-table "$table" --buffer 1073741824)
    fi
    "$build/collector/collector" --port 0 --max-connections 5000 "${args[@]}" >"$out" \
        2>"$dir/collector.err" &
    pid=$!
    pids=("$pid" "${pids[@]}")
    wait_for grep -q "^listening on" "$dir/collector.err"
    port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$dir/collector.err" | head -n1)
    local earlier=0  # rows of the warming replay
    if [ "$mode" = clickhouse-warm ]; then
        replay_once "$records"
        earlier=$records
    fi
    replay_once $((earlier + records))
    [ -n "$table" ] && rows=$(($(rows_in "$table") - earlier))
    kill -INT "$pid"
    wait "$pid" 2>/dev/null || true
    if [ -n "$table" ]; then  # ClickHouse's merges would take the next run's CPU
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

# RowBinary against TabSeparated: the collector's cost and bytes per row (bench/row_formats.cpp),
# then ClickHouse's CPU to take each body into a table of its own, and whether both tables hold
# the same rows.
row_formats_run() {  # RUN
    local dir=$work/row-formats-$1 columns format table before after
    mkdir -p "$dir"
    "$build/bench/row_formats" 500000 "$dir" >>"$work/row_formats.txt"
    columns="time, agent, device, server, transport, length, id, qr, opcode, rcode, qname, qtype, packet"
    for format in rowbinary tsv; do
        table=rows_${format}_$1
        sed -n '/^CREATE TABLE IF NOT EXISTS dns_records (/,/;/p' \
            "$source_dir/collector/clickhouse_schema.sql" | sed "s/dns_records/$table/" |
            curl -sf --data-binary @- "$clickhouse_url" >/dev/null
        before=$(cpu_ticks "$clickhouse_pid")
        curl -sf --data-binary "@$dir/rows.$format" "$clickhouse_url?query=$(printf %s \
            "INSERT INTO $table ($columns) FORMAT $([ $format = tsv ] &&
            echo TabSeparated || echo RowBinary)" | sed 's/ /%20/g; s/,/%2C/g')" >/dev/null
        after=$(cpu_ticks "$clickhouse_pid")
        echo "kind=row_insert format=$format clickhouse_cpu_seconds=$(awk -v t=$((after - before)) \
            -v h="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / h }') rows=$(rows_in "$table")" \
            "sum=$(curl -s --data-binary "SELECT sum(cityHash64($columns)) FROM $table" \
            "$clickhouse_url")" >>"$work/row_formats.txt"
    done
}
