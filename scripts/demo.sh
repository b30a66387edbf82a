#!/usr/bin/env bash
# The whole job on this machine: unbound answers real queries on loopback and sends dnstap to
# the agent, the agent streams the records to the reference collector, which prints them.
# Everything started here is stopped at the end.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/build-env.sh"
source_dir=$TARN_SOURCE
build=$TARN_BUILD_ROOT-demo
work=$(mktemp -d /tmp/tarn-demo.XXXXXX)
dns_port=${TARN_DEMO_DNS_PORT:-5353}
pids=()

cleanup() {
    for pid in "${pids[@]}"; do
        kill -INT "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

bash "$source_dir/scripts/setup.sh"
build_dir_ready "$build"
cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target agent collector >/dev/null

# The collector on a free loopback port; its first stderr line names the port.
"$build/collector/collector" --port 0 --pcap "$work/records.pcap" \
    >"$work/records.jsonl" 2>"$work/collector.err" &
pids+=($!)
for _ in $(seq 100); do
    grep -q "^listening on" "$work/collector.err" 2>/dev/null && break
    sleep 0.1
done
collector_port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/collector.err" | head -n1)
echo "collector listening on 127.0.0.1:$collector_port"

# The agent from a directory of its own, with its log directory beside it.
mkdir -p "$work/agent/log"
cp "$build/agent" "$work/agent/agent"
cat >"$work/agent/agent.conf" <<CONF
target 127.0.0.1:$collector_port 5
queue-size 16777216
logging on
dnstap-socket $work/dnstap.sock
CONF
"$work/agent/agent" "$work/agent/agent.conf" &
agent_pid=$!
pids=("$agent_pid" "${pids[@]}")
for _ in $(seq 100); do
    [ -S "$work/dnstap.sock" ] && break
    sleep 0.1
done

source "$TARN_SOURCE/scripts/unbound-conf.sh"
write_unbound_conf "$work" "$work/dnstap.sock"
unbound -c "$work/unbound.conf" &
pids=("$!" "${pids[@]}")
sleep 1

echo "== queries to unbound on 127.0.0.1:$dns_port"
dig @127.0.0.1 -p "$dns_port" www.example.test A +tries=1 +time=2 +short
dig @127.0.0.1 -p "$dns_port" example.test MX +tcp +tries=1 +time=2 +short
dig @127.0.0.1 -p "$dns_port" missing.example.test A +tries=1 +time=2 | grep -o "status: [A-Z]*"
sleep 2

cleanup
pids=()
echo "== records decoded by the collector ($work/records.jsonl, pcap: $work/records.pcap)"
grep '"type":"dns"' "$work/records.jsonl" | sed 's/,"packet":"[0-9a-f]*"//'
echo "== agent log"
cat "$work/agent/log/dns-logger.log"
count=$(grep -c '"type":"dns"' "$work/records.jsonl" || true)
echo "== $count records arrived"
[ "$count" -ge 6 ]
