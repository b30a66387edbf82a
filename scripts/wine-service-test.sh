#!/usr/bin/env bash
# The agent as a Windows service under Wine: sc create / start / stop against Wine's service
# control manager, checked from sc query, the log file, and Wine's trace of every
# SetServiceStatus call the agent makes, and of what it reports to the Event Log.
#   scripts/wine-service-test.sh <windows-build-dir>
set -euo pipefail

build_dir=${1:?usage: wine-service-test.sh <windows-build-dir>}
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
work=$(mktemp -d /tmp/tarn-wine-service.XXXXXX)
trace=$work/service-trace.log
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

sc() {  # Wine's own noise about a missing 32-bit wine is not ours
    local status=0
    (cd "$work" && timeout 60 wine sc "$@" </dev/null >"$work/sc.out" 2>&1) || status=$?
    tr -d '\r' <"$work/sc.out" | grep -v -e wine32 -e multiarch -e dpkg -e apt-get || true
    return "$status"
}
wait_for() {  # seconds command...: until the command succeeds
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
# sc query, asked again while its answer has no state; the answer stays in $work/query, so a
# check reads the same answer its failure message shows. Only the answer counts, not the status.
query() {
    local tries=0
    until sc query "$1" >"$work/query" || true; grep -q "^ *STATE *:" "$work/query"; do
        tries=$((tries + 1))
        [ "$tries" -lt 10 ] || return 1
        sleep 0.5
    done
}
in_state() { query "$1" && [ "$(awk '$1 == "STATE" { print $3 }' "$work/query")" = "$2" ]; }
messages() { tr -d '\r' <"$log" | sed 's/^[0-9TZ:-]* \[[0-9]*\]: //'; }
logged() { [ -f "$log" ] && messages | grep -qxF -e "$1"; }

# A fresh persistent server whose services run with the service trace on, their standard error
# in the trace file: the service processes inherit both from services.exe.
wine_stop
sleep 1
wineserver -p </dev/null >/dev/null 2>&1
WINEDEBUG=+service,+eventlog timeout 120 wine cmd /c exit </dev/null >/dev/null 2>"$trace" || true
install_dir="$WINEPREFIX/drive_c/tarn agent"
cleanup() {
    sc delete tarn-agent >/dev/null 2>&1 || true
    wine_stop
}
trap cleanup EXIT
rm -rf "$install_dir"
mkdir -p "$install_dir/log"
cp "$build_dir/agent.exe" "$install_dir/agent.exe"
log="$install_dir/log/dns-logger.log"
# Nothing listens on port 9 of the loopback, so the processor only tries to connect.
printf 'logging on\r\ntarget 127.0.0.1:9\r\n' >"$install_dir/agent config.txt"
run_lines=("agent version 3.7.1" 'Changing directory to: C:\tarn agent' "Starting..."
    "Starting sensor queue processor" "Starting ETW session" "Started!" "Stopping..."
    "Stopping all sessions" "Closing ETW trace..." "Stopping sensor queue processor" "Stopped!")

echo "== Windows service under Wine"
sc delete tarn-agent >/dev/null 2>&1 || true  # left over from an earlier run on the prefix
sc create tarn-agent binpath= '"C:\tarn agent\agent.exe" "C:\tarn agent\agent config.txt"' \
    type= own start= demand >/dev/null || fail "sc create tarn-agent"

# Start with parameters (ignored), run, stop. Wine's OpenTraceA refuses: capture fails
# alone and the service runs on.
sc start tarn-agent "C:\\no such config.txt" second-parameter >/dev/null || fail "sc start"
wait_for 30 in_state tarn-agent 4 || fail "tarn-agent not RUNNING after sc start"
wait_for 30 logged "ERROR - ETW session failed: ProcessTrace() failed: Access denied." ||
    fail "no ETW failure line for Wine's OpenTraceA answer"
in_state tarn-agent 4 || fail "tarn-agent did not keep running after the ETW failure"
{ sc stop tarn-agent || true; } | grep -q "STATE *: 3 *STOP_PENDING" ||
    fail "sc stop did not answer STOP_PENDING"
wait_for 30 in_state tarn-agent 1 || fail "tarn-agent not STOPPED after sc stop: $(cat "$work/query")"
grep -q "WIN32_EXIT_CODE *: 0 " "$work/query" || fail "tarn-agent exit code not 0: $(cat "$work/query")"
# The run's lines each after the one before; the threads add lines of their own in between.
printf '%s\n' "${run_lines[@]}" | awk 'BEGIN { i = 0 } NR == FNR { want[n++] = $0; next }
    i < n && $0 == want[i] { i++ } END { exit (i < n) }' - <(messages) || fail "log lines missing or out of order"
# Every SetServiceStatus call of an own-process service (type 0x10; Wine's own services share a
# process) as "type state controls exit specific checkpoint hint": running, stop pending, stopped.
reports=$(tr -d '\r' <"$trace" | sed -n 's/.*trace:service:SetServiceStatus [0-9A-Fa-f]* \(0x10 .*\)$/\1/p')
[ "$reports" = "$(printf '0x10 %s 0x5 0 0 0 0x2710\n' 0x4 0x3 0x1)" ] || fail "status reports were: $reports"
messages | grep -q "no such config" && fail "a start parameter was taken as the configuration path"
# Wine's ReportEventW prints each string on its eventlog channel: error events as err, the others
# as trace.
events() {  # the strings as given: Wine's escapes undone
    tr -d '\r' <"$trace" | sed -n 's/^.*:eventlog:ReportEventW L"\(.*\)"$/\1/; T; s/\\n$//; s/\\"/"/g; s/\\\\/\\/g; p'
}
[ "$(events | paste -sd '|')" = 'Started!|ERROR - ETW session failed: ProcessTrace() failed: Access denied.\r|Stopped!' ] ||
    fail "Event Log calls of the first run: $(events | paste -sd '|')"

# Targets that are all refused: said in the log (before the version line: held until it
# opened) and in the Event Log; capture still runs.
refused='ERROR - Config: line "target 10.1.2" not used: "10.1.2" is not a dotted-quad IPv4 address'
printf 'logging on\r\ntarget 10.1.2\r\n' >"$install_dir/agent config.txt"
sc start tarn-agent >/dev/null || fail "sc start with refused targets"
two_starts() { [ "$(messages | grep -cxF 'Started!')" -ge 2 ]; }
wait_for 30 two_starts || fail "the second run did not start"
expect_second="$refused|ERROR - Config: no target left: records stay in the queue until the configuration names a collector|agent version 3.7.1"
second=$(messages | tac | sed '/^Reading config from /q' | tac | grep -e "^ERROR - Config:" -e "^agent version" | paste -sd '|')
[ "$second" = "$expect_second" ] || fail "the second run's first lines: $second"
events | grep -xF "$refused" >/dev/null || fail "the refused target is not in the Event Log calls"
in_state tarn-agent 4 || fail "tarn-agent did not run on without a target"
sc stop tarn-agent >/dev/null || true
wait_for 30 in_state tarn-agent 1 || fail "tarn-agent not STOPPED after the second sc stop"

# A run that fails ends STOPPED with a service-specific exit code, so recovery can restart it.
rm "$install_dir/agent config.txt"
sc start tarn-agent >/dev/null || fail "sc start without a configuration"
wait_for 30 in_state tarn-agent 1 || fail "tarn-agent without a configuration not STOPPED"
grep -q "WIN32_EXIT_CODE *: 1066 " "$work/query" && grep -q "SERVICE_EXIT_CODE *: 1 " "$work/query" ||
    fail "a failed run's exit codes: $(cat "$work/query")"
events | grep '^ERROR - Run failure: fopen(C:\\tarn agent\\agent config.txt) failed: ' >/dev/null ||
    fail "the run failure is not in the Event Log calls"

[ "$failures" -eq 0 ] || { messages; echo "== Windows service under Wine: $failures failure(s); trace in $trace"; exit 1; }
echo "== Windows service under Wine: all checks passed"
rm -rf "$work"
