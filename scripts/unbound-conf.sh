# unbound on 127.0.0.1:$dns_port serving a small zone from local data, with dnstap of its client
# traffic into a socket and its control socket in DIR: the demo's and the benchmark's server.
write_unbound_conf() {  # write_unbound_conf DIR DNSTAP_SOCKET (port: $dns_port)
    cat >"$1/unbound.conf" <<CONF
server:
    interface: 127.0.0.1
    port: $dns_port
    num-threads: 1
    do-daemonize: no
    username: ""
    chroot: ""
    directory: "$1"
    pidfile: "$1/unbound.pid"
    use-syslog: no
    logfile: "$1/unbound.log"
    verbosity: 0
    local-zone: "example.test." static
    local-data: "www.example.test. 300 IN A 192.0.2.10"
    local-data: "mail.example.test. 300 IN A 192.0.2.25"
    local-data: "example.test. 300 IN MX 10 mail.example.test."
    local-data: "example.test. 300 IN TXT \"a text record that makes the answer longer than a plain address record does\""
remote-control:
    control-enable: yes
    control-interface: "$1/unbound.ctl"
    control-use-cert: no
dnstap:
    dnstap-enable: yes
    dnstap-socket-path: "$2"
    dnstap-send-identity: no
    dnstap-send-version: no
    dnstap-log-client-query-messages: yes
    dnstap-log-client-response-messages: yes
CONF
}
