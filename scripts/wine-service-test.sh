#!/usr/bin/env bash
# The agent as a Windows service under Wine: sc create / start / stop against the real service
# control manager of Wine, checked from sc query, from the log file, and from Wine's trace of
# every SetServiceStatus call the agent makes.
#   scripts/wine-service-test.sh <windows-build-dir>
set -euo pipefail

build_dir=${1:?usage: wine-service-test.sh <windows-build-dir>}
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$source_dir/scripts/wine-env.sh"

work=$(mktemp -d /tmp/tarn-wine-service.XXXXXX)
trace=$work/service-trace.log
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Wine's own noise about a missing 32-bit wine is not ours.
wine_output() {
    tr -d '\r' <"$1" | grep -v -e 'wine32' -e 'multiarch' -e 'dpkg --add-architecture' \
        -e 'apt-get install wine32' || true
}

sc() {
    local status=0
    (cd "$work" && timeout 60 wine sc "$@" </dev/null >"$work/sc.out" 2>&1) || status=$?
    wine_output "$work/sc.out"
    return "$status"
}

service_state() {  # service -> the number of its current state, as sc query prints it
    sc query "$1" | awk '$1 == "STATE" { print $3 }'
}

wait_for_state() {  # service state seconds
    local deadline=$((SECONDS + $3))
    while [ "$SECONDS" -lt "$deadline" ]; do
        [ "$(service_state "$1")" = "$2" ] && return 0
        sleep 0.2
    done
    return 1
}

wait_for_log_line() {  # file line seconds
    local deadline=$((SECONDS + $3))
    while [ "$SECONDS" -lt "$deadline" ]; do
        [ -f "$1" ] && log_messages "$1" | grep -qxF -e "$2" && return 0
        sleep 0.2
    done
    return 1
}

# The SetServiceStatus calls of own-process services traced since line $1 of the trace, as
# "type state controls exit specific checkpoint hint". Wine's own services share a process
# (type 0x30), so these are the agent's.
status_reports_since() {
    tail -n +"$(($1 + 1))" "$trace" | tr -d '\r' |
        sed -n 's/.*trace:service:SetServiceStatus [0-9A-Fa-f]* \(0x10 .*\)$/\1/p'
}

trace_lines() { wc -l <"$trace"; }

# The log's messages without the time and process prefix.
log_messages() {
    tr -d '\r' <"$1" | sed 's/^[0-9TZ:-]* \[[0-9]*\]: //'
}

expect_in_order() {  # file line... : each line occurs, after the one before it
    local file=$1
    shift
    printf '%s\n' "$@" >"$work/expected"
    log_messages "$file" >"$work/messages"
    if ! awk 'BEGIN { i = 0; n = 0 } NR == FNR { want[n++] = $0; next } i < n && $0 == want[i] { i++ }
              END { exit (i < n) }' "$work/expected" "$work/messages"; then
        fail "log lines missing or out of order in $file:"
        sed 's/^/    /' "$work/messages"
    fi
}

expect_reports() {  # since-line expected-states-description report...
    local since=$1 what=$2
    shift 2
    local expected actual
    expected=$(printf '%s\n' "$@")
    actual=$(status_reports_since "$since")
    if [ "$actual" != "$expected" ]; then
        fail "$what: status reports were"
        printf '%s\n' "$actual" | sed 's/^/    /'
        echo "  expected"
        printf '%s\n' "$expected" | sed 's/^/    /'
    else
        echo "ok: $what: $(printf '%s\n' "$@" | awk '{print $2}' | tr '\n' ' ')"
    fi
}

running='0x10 0x4 0x5 0 0 0 0x2710'
stop_pending='0x10 0x3 0x5 0 0 0 0x2710'
stopped='0x10 0x1 0x5 0 0 0 0x2710'

# A fresh persistent server whose services run with the service trace on, their standard error
# in the trace file: the service processes inherit both from services.exe.
wine_stop
sleep 1
wineserver -p </dev/null >/dev/null 2>&1
WINEDEBUG=+service timeout 120 wine cmd /c exit </dev/null >/dev/null 2>"$trace" || true
cleanup() {
    sc delete tarn-agent >/dev/null 2>&1 || true
    sc delete tarn-agent-missing >/dev/null 2>&1 || true
    wine_stop
    rm -f "${install_dir:-/nonexistent}/agent config.txt"  # the long one is 100 MB
}
trap cleanup EXIT

install_dir="$WINEPREFIX/drive_c/tarn agent"
rm -rf "$install_dir"
mkdir -p "$install_dir/log" "$install_dir/missing/log"
cp "$build_dir/agent.exe" "$install_dir/agent.exe"
cp "$build_dir/agent.exe" "$install_dir/missing/agent.exe"
log="$install_dir/log/dns-logger.log"
# Nothing listens on port 9 of the loopback, so the processor only tries to connect.
printf 'logging on\r\ntarget 127.0.0.1:9\r\n' >"$install_dir/agent config.txt"

started=(
    "agent version 3.7.1" 'Changing directory to: C:\tarn agent' "Starting..."
    "Starting sensor queue processor" "Starting ETW session" "Started!"
)
stopping=(
    "Stopping..." "Stopping all sessions" "Closing ETW trace..."
    "Stopping sensor queue processor" "Stopped!"
)

echo "== Windows service under Wine"
# Left over from an earlier run on the same prefix.
sc delete tarn-agent >/dev/null 2>&1 || true
sc delete tarn-agent-missing >/dev/null 2>&1 || true
sc create tarn-agent binpath= '"C:\tarn agent\agent.exe" "C:\tarn agent\agent config.txt"' \
    type= own start= demand >/dev/null || fail "sc create tarn-agent"

# 1. Start with parameters (ignored), run, stop.
since=$(trace_lines)
sc start tarn-agent "C:\\no such config.txt" second-parameter >/dev/null ||
    fail "sc start tarn-agent"
wait_for_state tarn-agent 4 30 || fail "tarn-agent not RUNNING after sc start"
wait_for_log_line "$log" "Started!" 30 || fail "no \"Started!\" in the log"
wait_for_log_line "$log" "ERROR - ETW session failed: ProcessTrace() failed: Access denied." 30 ||
    fail "no ETW failure line for Wine's OpenTraceA answer"
[ "$(service_state tarn-agent)" = 4 ] || fail "tarn-agent did not keep running after the ETW failure"
sc stop tarn-agent >"$work/stop.out" || fail "sc stop tarn-agent"
grep -q "STATE *: 3 *STOP_PENDING" "$work/stop.out" || fail "sc stop did not answer STOP_PENDING"
wait_for_state tarn-agent 1 30 || fail "tarn-agent not STOPPED after sc stop"
sc query tarn-agent | grep -q "WIN32_EXIT_CODE *: 0 " || fail "tarn-agent exit code not 0"
expect_in_order "$log" "${started[@]}" "${stopping[@]}"
expect_reports "$since" "start, stop" "$running" "$stop_pending" "$stopped"
if log_messages "$log" | grep -q "no such config"; then
    fail "a start parameter was taken as the configuration path"
fi

# 2. A stop control while the agent is still reading a long configuration file.
rm -f "$log"
{
    printf 'logging on\r\ntarget 127.0.0.1:9\r\n'
    for _ in $(seq 1 2000); do
        printf '# %0200d\r\n' 0
    done
} >"$install_dir/agent config.txt"
for _ in 1 2 3 4 5 6 7 8; do
    cat "$install_dir/agent config.txt" "$install_dir/agent config.txt" >"$work/config.tmp"
    mv "$work/config.tmp" "$install_dir/agent config.txt"
done
since=$(trace_lines)
# One Wine process for both, so the stop follows the RUNNING report as closely as it can.
(cd "$work" && timeout 60 wine cmd /c "sc start tarn-agent >nul & sc stop tarn-agent >nul" \
    </dev/null >"$work/sc.out" 2>&1) || fail "sc start and stop tarn-agent during start-up"
if [ -f "$log" ] && log_messages "$log" | grep -qxF "Started!"; then
    echo "note: the agent had started before the stop control arrived"
else
    echo "ok: the stop control arrived before \"Started!\""
fi
wait_for_state tarn-agent 1 60 || fail "a stop during start-up was lost: tarn-agent still running"
expect_in_order "$log" "${started[@]}" "${stopping[@]}"
expect_reports "$since" "stop during start-up" "$running" "$stop_pending" "$stopped"

# 3. A configuration file that cannot be opened: RUNNING, then STOPPED with exit code 0.
sc create tarn-agent-missing \
    binpath= '"C:\tarn agent\missing\agent.exe" "C:\tarn agent\missing\no such file.txt"' \
    type= own >/dev/null || fail "sc create tarn-agent-missing"
since=$(trace_lines)
sc start tarn-agent-missing >/dev/null || true
wait_for_state tarn-agent-missing 1 30 || fail "tarn-agent-missing did not stop by itself"
sc query tarn-agent-missing | grep -q "WIN32_EXIT_CODE *: 0 " ||
    fail "tarn-agent-missing exit code not 0"
expect_reports "$since" "missing configuration" "$running" "$stopped"
[ -e "$install_dir/missing/log/dns-logger.log" ] && fail "a log was written without a configuration"

if [ "$failures" -ne 0 ]; then
    echo "== Windows service under Wine: $failures failure(s); trace in $trace"
    trap - EXIT
    cleanup
    exit 1
fi
echo "== Windows service under Wine: all checks passed"
rm -rf "$work"
