#!/usr/bin/env bash
# Installs everything the build, the tests, the demo and the benchmarks need on a fresh
# Debian machine. Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
    build-essential cmake git pkg-config python3
    clang clang-format libclang-rt-14-dev
    googletest libgtest-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
    wine wine64 wixl msitools osslsigncode openssl
    unbound bind9 bind9-utils bind9-dnsutils knot knot-module-dnstap knot-dnsutils knot-resolver
    dnsdist dnsperf fstrm-bin
    libprotobuf-c-dev protobuf-c-compiler golang-github-dnstap-golang-dnstap-dev
    libfstrm-dev libpcap-dev libldns-dev dnstap-ldns
    tshark procps psmisc iproute2
    libssl-dev openssl
    prometheus prometheus-node-exporter libmicrohttpd-dev
    clickhouse-server clickhouse-client libcurl4-openssl-dev
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    export DEBIAN_FRONTEND=noninteractive
    # tshark asks whether non-root users may capture; the answer does not matter here.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        $sudo debconf-set-selections
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# Debian's unbound package starts a system resolver on port 53; nothing here uses it.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet unbound 2>/dev/null; then
    ${sudo:-} systemctl stop unbound || true
fi
echo "setup: all packages present"
