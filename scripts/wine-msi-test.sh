#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own: install with TARGETS and LOGGING,
# the service and the records it sends, an upgrade, a refused downgrade, the uninstall, and the
# Authenticode signatures of a package signed with a throw-away certificate.
#   scripts/wine-msi-test.sh <windows-build-dir>
set -euo pipefail

build_dir=$(realpath "${1:?usage: wine-msi-test.sh <windows-build-dir>}")
source "$(dirname "${BASH_SOURCE[0]}")/build-env.sh"
export WINEPREFIX=$TARN_BUILD_ROOT-wine-msi
source "$TARN_SOURCE/scripts/wine-env.sh"
work=$(mktemp -d /tmp/tarn-wine-msi.XXXXXX)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect() { [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"; }
msiexec() {  # log-name args...: msiexec's exit status (modulo 256 under Wine)
    local log=$1
    shift
    timeout 300 wine msiexec "$@" /qn /l*v "$(winepath -w "$work/$log.log")" </dev/null >/dev/null 2>&1
}
reg_value() { timeout 60 wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
state() { timeout 60 wine sc query sabrel-agent </dev/null 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $3 }'; }
running() { for _ in $(seq 100); do [ "$(state)" = 4 ] && return; sleep 0.2; done; return 1; }
starts() {  # count: until the log holds that many starts (RUNNING comes before the line), at most 20 s
    for _ in $(seq 100); do [ "$(grep -c 'Started!' "$dir/log/dns-logger.log")" -ge "$1" ] && break; sleep 0.2; done
    grep -c 'Started!' "$dir/log/dns-logger.log"
}
msi_property() { msiinfo export "$1" Property | tr -d '\r' | awk -v name="$2" '$1 == name { print $2 }'; }
uninstall_key() { echo "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1"; }
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.out" 2>&1; }
flip_byte() {  # file copy: the copy with one byte in the middle of the file changed
    cp "$1" "$2"
    local at=$(($(stat -c %s "$1") / 2))
    printf "\\x$(printf %02x $(($(od -An -tu1 -j "$at" -N1 "$1") ^ 0xff)))" |
        dd of="$2" bs=1 seek="$at" conv=notrunc status=none
}

echo "== Windows installer under Wine"
wineserver -k </dev/null >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
wine_start
trap 'wine_stop' EXIT
dir="$WINEPREFIX/drive_c/Program Files/sabrel-agent"
system32="$WINEPREFIX/drive_c/windows/system32"
# Wine has no logman: a stand-in notes each call and whether the service was still there.
printf '%s\r\n' '@echo off' '>>C:\logman-calls.txt echo %*' 'sc query sabrel-agent >nul 2>&1' \
    'if not errorlevel 1 >>C:\logman-calls.txt echo service still present' >"$system32/logman.cmd"
calls="$WINEPREFIX/drive_c/logman-calls.txt"

# Packages: the build's own, and a higher version signed with a throw-away certificate.
build_msi=$build_dir/sabrel-agent.msi
version=$(msi_property "$build_msi" ProductVersion)
next=$(echo "$version" | awk -F. '{ print $1 "." $2 "." $3 + 1 }')
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=sabrel-agent test" \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
bash "$TARN_SOURCE/installer/build-msi.sh" "$next" "$build_dir/agent.exe" \
    "$work/next/sabrel-agent.msi" "$work/cert.pem" "$work/key.pem"
next_msi=$work/next/sabrel-agent.msi
expect "upgrade package version" "$(msi_property "$next_msi" ProductVersion)" "$next"

# Signatures: valid on the signed agent and package, broken by one changed byte.
for signed in "$next_msi" "$work/next/msi-files/agent.exe"; do
    verify "$signed" || fail "osslsigncode verify $signed: $(cat "$work/verify.out")"
    flip_byte "$signed" "$work/altered"
    verify "$work/altered" && fail "a copy of $signed with one byte changed still verifies"
done
verify "$build_dir/agent.exe" && fail "the unsigned build's agent.exe verifies"

# A collector on loopback: the first 10 bytes of the first connection, in hex.
python3 -c '
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(); s.settimeout(120)
print(s.getsockname()[1], flush=True)
c, _ = s.accept(); c.settimeout(30); data = b""
while len(data) < 10 and (chunk := c.recv(10 - len(data))): data += chunk
print(data.hex(), flush=True)' >"$work/collector.out" 2>&1 &
collector=$!
for _ in $(seq 50); do [ -s "$work/collector.out" ] && break; sleep 0.1; done
port=$(head -1 "$work/collector.out")

msiexec install /i "$(winepath -w "$build_msi")" "TARGETS=127.0.0.1:$port 5;10.1.2.4:8100 30" LOGGING=on ||
    fail "install: msiexec exit $?"
running || fail "service not running after install"
service_key='HKLM\System\CurrentControlSet\Services\sabrel-agent'
# Windows Installer quotes the program's path; Wine's does not.
expect "image path" "$(reg_value "$service_key" ImagePath | sed 's/^"\([^"]*\)"/\1/')" \
    'C:\Program Files\sabrel-agent\agent.exe "C:\Program Files\sabrel-agent\agent.conf"'
expect "service type, start, account" "$(reg_value "$service_key" Type) $(reg_value "$service_key" Start) \
$(reg_value "$service_key" ObjectName)" "0x10 0x2 LocalSystem"
expect "configuration" "$(tr -d '\r' <"$dir/agent.conf" | grep -v '^#' | paste -sd '|')" \
    "target 127.0.0.1:$port 5|target 10.1.2.4:8100 30|logging on"
wait "$collector" || true
expect "collector's first bytes" "$(tail -1 "$work/collector.out")" \
    "$(printf %08x $((${#version} + 1)))01$(printf %s "$version" | od -An -tx1 | tr -d ' \n')"
[ -d "$dir/log" ] && [ -s "$dir/log/dns-logger.log" ] || fail "no log in $dir/log"

# Upgrade: the edited configuration stays, the service runs again from the signed agent.exe.
echo "# edited by hand" >>"$dir/agent.conf"
cp "$dir/agent.conf" "$work/edited.conf"
msiexec upgrade /i "$(winepath -w "$next_msi")" TARGETS=10.9.9.9 || fail "upgrade: msiexec exit $?"
running || fail "service not running after the upgrade"
cmp -s "$dir/agent.conf" "$work/edited.conf" || fail "the upgrade changed agent.conf"
verify "$dir/agent.exe" || fail "installed agent.exe after the upgrade not the signed one"
expect "starts logged" "$(starts 2)" 2
expect "upgraded product" "$(reg_value "$(uninstall_key "$(msi_property "$next_msi" ProductCode)")" DisplayVersion)" "$next"
reg_value "$(uninstall_key "$(msi_property "$build_msi" ProductCode)")" DisplayVersion | grep -q . &&
    fail "the old product is still registered"
expect "logman calls by the upgrade" "$(tr -d '\r' <"$calls" 2>/dev/null | paste -sd '|')" "stop sabrel-agent -ets"

# Downgrade: refused by the package's launch condition, the newer version untouched.
msiexec downgrade /i "$(winepath -w "$build_msi")" && fail "the downgrade was not refused"
msiinfo export "$build_msi" LaunchCondition | grep -q "A newer version of sabrel-agent is already installed" ||
    fail "no downgrade message in the package"
expect "product after the downgrade" "$(reg_value "$(uninstall_key "$(msi_property "$next_msi" ProductCode)")" DisplayVersion)" "$next"
running || fail "service not running after the refused downgrade"

# Uninstall: service, program files and product gone; configuration and log kept; the ETW
# session stopped once the service is gone (by the upgrade too).
msiexec uninstall /x "$(winepath -w "$next_msi")" || fail "uninstall: msiexec exit $?"
[ -z "$(state)" ] || fail "service still registered after uninstall: state $(state)"
[ -e "$dir/agent.exe" ] || [ -e "$dir/msi-actions.cmd" ] && fail "program files left: $(ls "$dir")"
reg_value "$(uninstall_key "$(msi_property "$next_msi" ProductCode)")" DisplayVersion | grep -q . &&
    fail "product entry left after uninstall"
cmp -s "$dir/agent.conf" "$work/edited.conf" || fail "agent.conf not kept by the uninstall"
[ -s "$dir/log/dns-logger.log" ] || fail "log not kept by the uninstall"
expect "logman calls" "$(tr -d '\r' <"$calls" 2>/dev/null | paste -sd '|')" "stop sabrel-agent -ets|stop sabrel-agent -ets"

[ "$failures" -eq 0 ] || { echo "== Windows installer under Wine: $failures failure(s); logs in $work"; exit 1; }
echo "== Windows installer under Wine: all checks passed"
rm -rf "$work"
