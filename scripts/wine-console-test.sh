#!/usr/bin/env bash
# The agent in console mode under Wine (the dispatcher answers 1063): the usage line, a missing
# configuration (a failed run: exit status 1), and a run with logging on stopped by Ctrl+C
# (SIGINT, which Wine delivers as the console's Ctrl+C event), whose bad settings are said in
# its log though they come before the log opens, and whose metrics file, replaced while it
# runs (MoveFileExW), is never seen half written.
#   scripts/wine-console-test.sh <windows-build-dir>
set -euo pipefail

build_dir=${1:?usage: wine-console-test.sh <windows-build-dir>}
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
work=$(mktemp -d /tmp/tarn-wine-console.XXXXXX)
mkdir "$work/log"
cp "$build_dir/agent.exe" "$work/"
failures=0
expect() {  # what got what-was-expected
    [ "$2" = "$3" ] || { echo "FAIL: $1: got '$2', expected '$3'"; failures=$((failures + 1)); }
}
run() {  # seconds args...: the exit status; output in $work/out
    local status=0
    (cd "$work" && timeout "$1" wine agent.exe "${@:2}" </dev/null >out 2>&1) || status=$?
    echo "$status"
}

expect "no argument: exit" "$(run 60)" 255
expect "no argument: output" "$(tr -d '\r' <"$work/out" | grep -v wine)" "usage: agent <config-file>"
expect "missing configuration: exit" "$(run 60 'Z:\nowhere\agent.conf')" 1
expect "missing configuration: output" "$(grep -vc wine "$work/out" || true)" 0

printf 'etw-buffer-size 2\netw-buffers 9 3\nipv6-clients yes\nlogging on\ntarget 127.0.0.1:9 1\n%s\n' \
    'metrics-file metrics\agent.prom' >"$work/agent.conf"
mkdir "$work/metrics"
(cd "$work" && exec timeout 120 wine agent.exe agent.conf </dev/null >out 2>&1) &
runner=$!
for _ in $(seq 300); do
    grep -q 'Started!' "$work/log/dns-logger.log" 2>/dev/null && break
    sleep 0.2
done
# Every read is a whole file (first and last lines in place) until the file was replaced twice
# (at start, then 15 s later), within 40 s.
inodes=() torn=0
for _ in $(seq 800); do
    if text=$(cat "$work/metrics/agent.prom" 2>/dev/null); then
        case $text in "# HELP sabrel_agent_events_decoded_total"*'sabrel_agent_info{version="3.7.1"} 1') ;;
            *) torn=$((torn + 1)) ;; esac
        inode=$(stat -c %i "$work/metrics/agent.prom" 2>/dev/null || true)
        [[ " ${inodes[*]} " == *" $inode "* ]] || inodes+=("$inode")
    fi
    [ "${#inodes[@]}" -ge 3 ] && break
    sleep 0.05
done
expect "metrics file: partial reads" "$torn" 0
expect "metrics file: replaced while running" "$([ "${#inodes[@]}" -ge 2 ] && echo yes)" yes
pkill -INT -f 'agent.exe agent.conf' || true
status=0
wait "$runner" || status=$?
expect "Ctrl+C: exit" "$status" 0
lines=$(tr -d '\r' <"$work/log/dns-logger.log" | sed 's/^[0-9TZ:-]* \[[0-9]*\]: //' |
    grep -x -e 'agent version 3.7.1' -e 'Starting...' -e 'Started!' -e 'Stopping...' -e 'Stopped!' |
    paste -sd '|')
expect "Ctrl+C: lines" "$lines" "agent version 3.7.1|Starting...|Started!|Stopping...|Stopped!"
refused=$(tr -d '\r' <"$work/log/dns-logger.log" | grep -o 'ERROR - Config: line "[^"]*" not used' |
    paste -sd '|')
expect "bad settings" "$refused" 'ERROR - Config: line "ipv6-clients yes" not used|ERROR - Config: line "etw-buffer-size 2" not used|ERROR - Config: line "etw-buffers 9 3" not used'
[ "$failures" -eq 0 ] && echo "== Windows console under Wine: all checks passed"
exit "$failures"
