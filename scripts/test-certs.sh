#!/usr/bin/env bash
# Makes the certificates of the TLS tests and benchmarks in DIR, valid for two days: a private
# authority (ca), a collector's for 127.0.0.1 (collector), an agent's (agent), and three that a
# collector must be refused for: expired, for 127.0.0.2 (other-ip), from another authority
# (other-ca); and the agent's key encrypted (encrypted.key). Usage: test-certs.sh DIR
set -euo pipefail
cd "$1"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }
authority() { key "$1" && openssl req -x509 -new -key "$1.key" -subj "/CN=$1" -days 2 -out "$1.pem"; }
issue() {  # NAME AUTHORITY DAYS [IP]
    key "$1"
    openssl req -new -key "$1.key" -subj "/O=sabrel/CN=$1" |
        openssl x509 -req -CA "$2.pem" -CAkey "$2.key" -days "$3" -out "$1.pem" 2>/dev/null \
            ${4:+-extfile <(printf 'subjectAltName=IP:%s\n' "$4")}
}
authority ca
authority other-authority
issue collector ca 2 127.0.0.1
issue agent ca 2
issue expired ca -1 127.0.0.1
issue other-ip ca 2 127.0.0.2
issue other-ca other-authority 2 127.0.0.1
openssl pkey -in agent.key -aes128 -passout pass:secret -out encrypted.key
