#!/usr/bin/env bash
# Builds the Windows installer from agent.exe with wixl, signing agent.exe and the package with
# osslsigncode when given a certificate and its key (PEM or DER files).
#   installer/build-msi.sh VERSION AGENT_EXE OUTPUT_MSI [CERT KEY [TIMESTAMP_URL]]
# The agent.exe packed (signed when a certificate is given) stays in OUTPUT_MSI's directory,
# under msi-files/.
set -euo pipefail

version=$1 agent=$2 output=$3 cert=${4:-} key=${5:-} timestamp=${6:-}
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
        ${timestamp:+-t "$timestamp"} -in "$1" -out "$2.tmp" >/dev/null
    mv "$2.tmp" "$2"
}

if [ -n "$cert" ] && [ -z "$key" ]; then
    echo "build-msi.sh: a certificate needs its key" >&2
    exit 2
fi
rm -rf "$stage" "$unsigned"
mkdir -p "$stage"
sign "$agent" "$stage/agent.exe"
cp "$here/msi-actions.cmd" "$stage/"
# wixl finds the files named in the package relative to the working directory.
(cd "$stage" && wixl -a x64 -D Version="$version" -o "$unsigned" "$here/sabrel-agent.wxs")
# wixl writes its own list of secure properties; ours must reach the elevated install too.
msibuild "$unsigned" -q "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;TARGETS;LOGGING' WHERE Property = 'SecureCustomProperties'"
sign "$unsigned" "$output"
rm -f "$unsigned"
