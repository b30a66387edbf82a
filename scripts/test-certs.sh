#!/usr/bin/env bash
# Makes the certificates of the TLS tests and benchmarks in DIR, valid for two days: a private
# authority (ca), a collector's for 127.0.0.1 (collector), an agent's (agent), five that a
# collector must be refused for: expired, for 127.0.0.2 (other-ip), from another authority
# (other-ca), for clients only (client-only), valid from tomorrow (future); three agent's that
# the collector must refuse: expired (agent-expired), for servers only (agent-server), from
# another authority (agent-other); and the agent's key encrypted (encrypted.key).
# Usage: test-certs.sh DIR
set -euo pipefail
cd "$1"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }
authority() { key "$1" && openssl req -x509 -new -key "$1.key" -subj "/CN=$1" -days 2 -out "$1.pem"; }
issue() {  # NAME AUTHORITY DAYS [IP [EXTENDED-KEY-USAGE]]
    key "$1"
    openssl req -new -key "$1.key" -subj "/O=sabrel/CN=$1" |
        openssl x509 -req -CA "$2.pem" -CAkey "$2.key" -days "$3" -out "$1.pem" 2>/dev/null \
            ${4:+-extfile <(printf 'subjectAltName=IP:%s\n%s' "$4" "${5:+extendedKeyUsage=$5}")}
}
authority ca
authority other-authority
issue collector ca 2 127.0.0.1
issue agent ca 2
issue expired ca -1 127.0.0.1
issue other-ip ca 2 127.0.0.2
issue other-ca other-authority 2 127.0.0.1
issue client-only ca 2 127.0.0.1 clientAuth
issue agent-expired ca -1 127.0.0.9
issue agent-server ca 2 127.0.0.9 serverAuth
issue agent-other other-authority 2 127.0.0.9
# x509 -req cannot start a certificate later; ca can, with a database of its own.
key future
: >index.txt
issued=$(mktemp -d)
openssl req -new -key future.key -subj "/O=sabrel/CN=future" -out future.csr
openssl ca -batch -notext -config <(printf '[ca]\ndefault_ca=c\n[c]\ndatabase=index.txt\nnew_certs_dir=%s\npolicy=p\ndefault_md=sha256\nrand_serial=yes\n[p]\nCN=supplied\n' "$issued") \
    -cert ca.pem -keyfile ca.key -startdate "$(date -u -d tomorrow +%Y%m%d%H%M%SZ)" -days 3 \
    -extfile <(printf 'subjectAltName=IP:127.0.0.1\n') -in future.csr -out future.pem 2>/dev/null
rm -rf "$issued" future.csr index.txt*
openssl pkey -in agent.key -aes128 -passout pass:secret -out encrypted.key
