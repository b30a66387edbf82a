#!/usr/bin/env bash
# Builds the Windows installer from agent.exe and the package's actions DLL with wixl, signing
# agent.exe, the DLL and the package with osslsigncode when given a certificate and its key (PEM
# or DER files), with an RFC 3161 time stamp when given a time-stamping server.
#   installer/build-msi.sh VERSION AGENT_EXE ACTIONS_DLL OUTPUT_MSI [CERT KEY [TIMESTAMP_URL]]
# The files packed (signed when a certificate is given) stay in OUTPUT_MSI's directory, under
# msi-files/.
set -euo pipefail

version=$1 agent=$2 actions=$3 output=$4 cert=${5:-} key=${6:-} timestamp=${7:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
output=$(realpath -m "$output")
stage=$(dirname "$output")/msi-files
unsigned=$output.unsigned

sign() {  # in out
    if [ -z "$cert" ]; then
        cp "$1" "$2"
        return
    fi
    osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n sabrel-agent \
        ${timestamp:+-ts "$timestamp"} -in "$1" -out "$2.tmp" >/dev/null
    mv "$2.tmp" "$2"
}

if [ -n "$cert" ] && [ -z "$key" ]; then
    echo "build-msi.sh: a certificate needs its key" >&2
    exit 2
fi
[ -n "$cert" ] || echo "build-msi.sh: no certificate given: agent.exe, msi_actions.dll and $(basename "$output") are unsigned"
rm -rf "$stage" "$unsigned"
mkdir -p "$stage"
sign "$agent" "$stage/agent.exe"
sign "$actions" "$stage/msi_actions.dll"
cp "$here/../README.md" "$stage/"
# wixl finds the files named in the package relative to the working directory.
(cd "$stage" && wixl -a x64 -D Version="$version" -o "$unsigned" "$here/sabrel-agent.wxs")

# What wixl cannot write. Its own list of secure properties, which ours must reach in the
# elevated install; an upgrade rule that takes the same version too (its VersionMax inclusive:
# the Attributes column is part of the key, so the row is made again); the message file's path
# as REG_EXPAND_SZ; the log directory's permissions and the service's recovery (Windows
# Installer 5.0 tables).
upgrade_code=$(msiinfo export "$unsigned" Property | tr -d '\r' | awk '$1 == "UpgradeCode" { print $2 }')
upgrade_code=${upgrade_code^^}
msibuild "$unsigned" \
    -q "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;TARGETS;LOGGING' WHERE Property = 'SecureCustomProperties'" \
    -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'" \
    -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Language, Attributes, Remove, ActionProperty) VALUES ('$upgrade_code', '', '$version', '', 513, '', 'WIX_UPGRADE_DETECTED')" \
    -q "UPDATE Registry SET Value = '#%[#AgentExe]' WHERE Name = 'EventMessageFile'" \
    -i "$here/MsiLockPermissionsEx.idt" -i "$here/MsiServiceConfig.idt" \
    -i "$here/MsiServiceConfigFailureActions.idt" \
    -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('MsiConfigureServices', '', 5850)"
sign "$unsigned" "$output"
rm -f "$unsigned"
