#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own: hostile and bad TARGETS refused with
# nothing installed, the package's own tables, an install with TARGETS and LOGGING and the
# records it sends, a repair, a rebuilt package of the same version, an upgrade, a refused
# downgrade, the uninstall, and Authenticode signatures with an RFC 3161 time stamp from an
# authority on loopback.
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
msiexec() {  # log-name args...: msiexec's exit status (modulo 256 under Wine); Wine's ETW
    local log=$1  # calls in log-name.etw
    shift
    WINEDEBUG=+eventlog timeout 300 wine msiexec "$@" /qn /l*v "$(winepath -w "$work/$log.log")" \
        </dev/null >/dev/null 2>"$work/$log.etw"
}
logged() { grep -qF -e "$2" "$work/$1.log"; }
reg_value() { timeout 60 wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *\(REG_[A-Z_]*\) *\(.*\)/\1 \2/p"; }
state() { timeout 60 wine sc query sabrel-agent </dev/null 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $3 }'; }
running() { for _ in $(seq 100); do [ "$(state)" = 4 ] && return; sleep 0.2; done; return 1; }
starts() {  # count: until the log holds that many starts (RUNNING comes before the line), at most 20 s
    for _ in $(seq 100); do [ "$(grep -c 'Started!' "$dir/log/dns-logger.log")" -ge "$1" ] && break; sleep 0.2; done
    grep -c 'Started!' "$dir/log/dns-logger.log"
}
msi_table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }
msi_property() { msi_table "$1" Property | awk -v name="$2" '$1 == name { print $2 }'; }
uninstall_key() { echo "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1"; }
product_version() { reg_value "$(uninstall_key "$(msi_property "$1" ProductCode)")" DisplayVersion | cut -d' ' -f2; }
products() { timeout 60 wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null | tr -d '\r' | grep -c 'DisplayName *REG_SZ *sabrel-agent$'; }
verify() { osslsigncode verify -CAfile "$work/cert.pem" -TSA-CAfile "$work/tsa-ca.pem" -in "$1" >"$work/verify.out" 2>&1; }
flip_byte() {  # file copy: the copy with one byte in the middle of the file changed
    cp "$1" "$2"
    local at=$(($(stat -c %s "$1") / 2))
    printf "\\x$(printf %02x $(($(od -An -tu1 -j "$at" -N1 "$1") ^ 0xff)))" |
        dd of="$2" bs=1 seek="$at" conv=notrunc status=none
}
installed_nothing() {  # name: no product, no service, no program files
    [ "$(products)" = 0 ] || fail "$1: a product entry stayed"
    [ -z "$(state)" ] || fail "$1: a service stayed"
    [ -e "$dir/agent.exe" ] && fail "$1: agent.exe stayed"
    return 0
}

echo "== Windows installer under Wine"
wineserver -k </dev/null >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
wine_start
trap 'wine_stop; [ -n "${tsa:-}" ] && kill "$tsa" 2>/dev/null' EXIT
dir="$WINEPREFIX/drive_c/Program Files/sabrel-agent"
build_msi=$build_dir/sabrel-agent.msi
version=$(msi_property "$build_msi" ProductVersion)
next=$(echo "$version" | awk -F. '{ print $1 "." $2 "." $3 + 1 }')

# The package: no action runs a command interpreter or puts a property on a command line; the
# DLL's actions read them from Windows Installer (type 1), the rest only set properties (51).
msi_table "$build_msi" CustomAction >"$work/actions"
grep -qi 'cmd' "$work/actions" && fail "a custom action names cmd: $(cat "$work/actions")"
expect "custom action types" "$(awk -F'\t' '{ print $2 % 64 }' "$work/actions" | sort -u | paste -sd ' ')" "1 51"
expect "actions with TARGETS or LOGGING" "$(awk -F'\t' '/\[(TARGETS|LOGGING)\]/ { print $1 }' "$work/actions")" "SetWriteConfiguration"
expect "agent.exe's version resource" "$(strings -el "$build_dir/agent.exe" |
    grep -A1 -x -e ProductName -e FileVersion -e ProductVersion | grep -vx -e -- | paste -sd ' ')" \
    "FileVersion $version ProductName sabrel-agent ProductVersion $version"
# Permissions, recovery and the upgrade rule, which Wine's installer does not apply.
expect "log directory permissions" "$(msi_table "$build_msi" MsiLockPermissionsEx | cut -f2-4 | tr '\t' ' ')" \
    "LOGDIR CreateFolder D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
expect "restart on failure" "$(msi_table "$build_msi" MsiServiceConfigFailureActions | cut -f2,3,4,7,8 | tr '\t' ' ')" \
    "sabrel-agent 1 86400 1[~]1[~]1 10000[~]30000[~]60000"
expect "failure actions on a failed exit" "$(msi_table "$build_msi" MsiServiceConfig | cut -f2-5 | tr '\t' ' ')" "sabrel-agent 1 4 1"
msi_table "$build_msi" InstallExecuteSequence | grep "^MsiConfigureServices" >/dev/null || fail "MsiConfigureServices not sequenced"
expect "upgrade rule" "$(msi_table "$build_msi" Upgrade | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $3, $5 }')" "$version 513"

# Packages: the same version rebuilt (a new product code), and a higher version signed with a
# throw-away certificate and time-stamped by an authority on loopback.
(cd "$work" && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=sabrel-agent test" \
    -keyout key.pem -out cert.pem &&
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=tsa ca" -keyout tsa-ca.key \
        -out tsa-ca.pem -addext "basicConstraints=critical,CA:TRUE" &&
    openssl req -new -newkey rsa:2048 -nodes -subj "/CN=tsa" -keyout tsa.key -out tsa.csr &&
    openssl x509 -req -in tsa.csr -CA tsa-ca.pem -CAkey tsa-ca.key -CAcreateserial -days 2 \
        -extfile <(echo "extendedKeyUsage=critical,timeStamping") -out tsa.pem) >/dev/null 2>&1
printf '[tsa]\ndefault_tsa = a\n[a]\nserial = tsaserial\nsigner_digest = sha256\ndefault_policy = 1.3.6.1.4.1.99999.1\ndigests = sha256\ness_cert_id_alg = sha256\n' >"$work/tsa.cnf"
echo 01 >"$work/tsaserial"
exec 3< <(python3 "$TARN_SOURCE/tests/tsa_server.py" "$work")
tsa=$!
read -r -t 10 tsa_port <&3 || fail "no time-stamping authority"
rebuilt_msi=$work/rebuilt/sabrel-agent.msi next_msi=$work/next/sabrel-agent.msi
bash "$TARN_SOURCE/installer/build-msi.sh" "$version" "$build_dir/agent.exe" "$build_dir/msi_actions.dll" \
    "$rebuilt_msi" >/dev/null
bash "$TARN_SOURCE/installer/build-msi.sh" "$next" "$build_dir/agent.exe" "$build_dir/msi_actions.dll" \
    "$next_msi" "$work/cert.pem" "$work/key.pem" "http://127.0.0.1:$tsa_port"
expect "upgrade package version" "$(msi_property "$next_msi" ProductVersion)" "$next"
[ "$(msi_property "$rebuilt_msi" ProductCode)" != "$(msi_property "$build_msi" ProductCode)" ] ||
    fail "the rebuilt package has the same product code"

# Signatures: valid with an RFC 3161 time stamp (only those carry a serial number), broken by
# one changed byte.
for signed in "$next_msi" "$work/next/msi-files/agent.exe" "$work/next/msi-files/msi_actions.dll"; do
    verify "$signed" || fail "osslsigncode verify $signed: $(cat "$work/verify.out")"
    grep -q "^Timestamp Server Signature verification: ok" "$work/verify.out" &&
        grep -q "^Timestamp serial number: " "$work/verify.out" || fail "no RFC 3161 time stamp on $signed"
    flip_byte "$signed" "$work/altered"
    verify "$work/altered" && fail "a copy of $signed with one byte changed still verifies"
done
verify "$build_dir/agent.exe" && fail "the unsigned build's agent.exe verifies"

# Refused before anything is installed, each named in the log: a value that would run a command
# under cmd.exe's rules, addresses inet_addr would have bent, and no TARGETS at all.
refusals=(  # what the log says|the properties given
    "TARGETS item \"127.0.0.1:9|TARGETS=127.0.0.1:9\" & echo owned > C:\\owned-by-targets.txt & rem \""
    "TARGETS item \"10.1.2\" is not taken: the address is not a dotted-quad IPv4 address|TARGETS=10.1.2"
    "TARGETS item \"dns1.example\" is not taken|TARGETS=dns1.example"
    "TARGETS item \"10.1.2.3,10.1.2.4\" is not taken|TARGETS=10.1.2.3,10.1.2.4"
    "LOGGING \"yes\" is not taken|TARGETS=10.1.2.3|LOGGING=yes"
    "TARGETS is required")
for case in "${refusals[@]}"; do
    IFS='|' read -ra properties <<<"$case"
    msiexec refused /i "$(winepath -w "$build_msi")" "${properties[@]:1}" &&
        fail "install with ${properties[*]:1} succeeded"
    logged refused "${properties[0]}" || fail "the log of ${properties[*]:1} does not say: ${properties[0]}"
    installed_nothing "install with ${properties[*]:1}"
done
[ -e "$WINEPREFIX/drive_c/owned-by-targets.txt" ] && fail "a command in TARGETS ran"

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
expect "image path" "$(reg_value "$service_key" ImagePath | cut -d' ' -f2- | sed 's/^"\([^"]*\)"/\1/')" \
    'C:\Program Files\sabrel-agent\agent.exe "C:\Program Files\sabrel-agent\agent.conf"'
expect "service type, start, account" "$(reg_value "$service_key" Type) $(reg_value "$service_key" Start) \
$(reg_value "$service_key" ObjectName)" "REG_DWORD 0x10 REG_DWORD 0x2 REG_SZ LocalSystem"
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\sabrel-agent'
expect "event source" "$(reg_value "$source_key" EventMessageFile) $(reg_value "$source_key" TypesSupported)" \
    'REG_EXPAND_SZ C:\Program Files\sabrel-agent\agent.exe REG_DWORD 0x7'
product=$(uninstall_key "$(msi_property "$build_msi" ProductCode)")
expect "programs and features" "$(for v in Publisher HelpLink InstallLocation NoModify; do reg_value "$product" $v; done | paste -sd '|')" \
    'REG_SZ sabrel-agent|REG_SZ C:\Program Files\sabrel-agent\README.md|REG_SZ C:\Program Files\sabrel-agent\|REG_DWORD 0x1'
expect "configuration" "$(tr -d '\r' <"$dir/agent.conf" | grep -v '^#' | paste -sd '|')" \
    "target 127.0.0.1:$port 5|target 10.1.2.4:8100 30|logging on"
wait "$collector" || true
expect "collector's first bytes" "$(tail -1 "$work/collector.out")" \
    "$(printf %08x $((${#version} + 1)))01$(printf %s "$version" | od -An -tx1 | tr -d ' \n')"
[ -d "$dir/log" ] && [ -s "$dir/log/dns-logger.log" ] || fail "no log in $dir/log"

# Repair, and a rebuilt package of the same version: agent.conf byte for byte as it was, one
# product entry.
echo "# edited by hand" >>"$dir/agent.conf"
cp "$dir/agent.conf" "$work/edited.conf"
# Wine's msiexec has no /fa for an installed product (REINSTALL=ALL is what /fa sets), and its
# reinstall does not stop the running service before starting it again.
timeout 60 wine sc stop sabrel-agent </dev/null >/dev/null 2>&1 || true
msiexec repair /i "$(winepath -w "$build_msi")" REINSTALL=ALL REINSTALLMODE=vomus TARGETS=10.9.9.9 || fail "repair: msiexec exit $?"
logged repair "Action start" || fail "no log of the repair"
logged repair "sabrel-agent: " && fail "the repair ran the package's actions"
running || fail "service not running after the repair"
cmp -s "$dir/agent.conf" "$work/edited.conf" || fail "the repair changed agent.conf"
msiexec rebuilt /i "$(winepath -w "$rebuilt_msi")" TARGETS=10.9.9.9 || fail "rebuilt: msiexec exit $?"
expect "products after the rebuilt package" "$(products)" 1
expect "rebuilt product" "$(product_version "$rebuilt_msi")" "$version"
running || fail "service not running after the rebuilt package"
cmp -s "$dir/agent.conf" "$work/edited.conf" || fail "the rebuilt package changed agent.conf"

# Upgrade: the edited configuration stays, the service runs again from the signed agent.exe.
started=$(grep -c 'Started!' "$dir/log/dns-logger.log")
msiexec upgrade /i "$(winepath -w "$next_msi")" TARGETS=10.9.9.9 || fail "upgrade: msiexec exit $?"
running || fail "service not running after the upgrade"
cmp -s "$dir/agent.conf" "$work/edited.conf" || fail "the upgrade changed agent.conf"
verify "$dir/agent.exe" || fail "installed agent.exe after the upgrade not the signed one"
expect "starts logged" "$(starts $((started + 1)))" $((started + 1))
expect "upgraded product" "$(product_version "$next_msi")" "$next"
expect "products after the upgrade" "$(products)" 1
# The old version's removal runs inside the upgrade; its log lines are not in the upgrade's log.
grep -q 'ControlTraceW.*L"sabrel-agent"' "$work/upgrade.etw" || fail "the upgrade did not stop the ETW session"

# Downgrade: refused by the package's launch condition, the newer version untouched.
msiexec downgrade /i "$(winepath -w "$build_msi")" && fail "the downgrade was not refused"
msi_table "$build_msi" LaunchCondition | grep "A newer version of sabrel-agent is already installed" >/dev/null ||
    fail "no downgrade message in the package"
expect "product after the downgrade" "$(product_version "$next_msi")" "$next"
running || fail "service not running after the refused downgrade"

# Uninstall: service, program files, event source and product gone; configuration and log
# kept; the ETW session stopped once the service is gone.
msiexec uninstall /x "$(winepath -w "$next_msi")" || fail "uninstall: msiexec exit $?"
installed_nothing "uninstall"
[ -e "$dir/README.md" ] && fail "README.md left after uninstall"
[ -z "$(reg_value "$source_key" TypesSupported)" ] || fail "event source left after uninstall"
cmp -s "$dir/agent.conf" "$work/edited.conf" || fail "agent.conf not kept by the uninstall"
[ -s "$dir/log/dns-logger.log" ] || fail "log not kept by the uninstall"
logged uninstall "sabrel-agent: the service is gone" || fail "the uninstall did not wait for the service"
logged uninstall "ETW session sabrel-agent" || fail "the uninstall did not stop the ETW session"

[ "$failures" -eq 0 ] || { echo "== Windows installer under Wine: $failures failure(s); logs in $work"; exit 1; }
echo "== Windows installer under Wine: all checks passed"
rm -rf "$work"
