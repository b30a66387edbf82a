#!/usr/bin/env python3
"""Real DNS servers send dnstap to the agent: every IPv4 DNS message that tshark sees on a
server's client-facing port must reach the collector as exactly one record with the same bytes,
addresses, transport and time. Messages of the IPv6 client arrive the same way from the servers
that feed a second agent with "ipv6-clients on", and not at all from the others.
Usage: dns_servers_test.py AGENT COLLECTOR"""
import datetime, json, os, shutil, signal, socket, subprocess, sys, tempfile, time
from pathlib import Path

PROBE = "127.0.0.99"  # readiness probes come from here and are left out of the comparison
ZONE = ["example.test. 300 IN SOA ns.example.test. admin.example.test. 1 3600 600 86400 300",
        "example.test. 300 IN NS ns.example.test.", "ns.example.test. 300 IN A 127.0.0.1",
        "www.example.test. 300 IN A 192.0.2.10"]
ZONE += ["big.example.test. 300 IN A 198.51.100.%d" % i for i in range(1, 101)]  # 1.6 kB
QUERIES = [  # client, name, dig options: each name over UDP and over TCP, one from ::1
    ("127.0.0.11", "www", []), ("127.0.0.12", "missing", []),
    ("127.0.0.13", "big", ["+bufsize=1232", "+ignore"]), ("127.0.0.14", "www", ["+tcp"]),
    ("127.0.0.15", "missing", ["+tcp"]), ("127.0.0.16", "big", ["+tcp"]), ("::1", "www", [])]
WIRE_V4 = 2 * (len(QUERIES) - 1)  # IPv4 messages per server: each query and its response
IPV6_ON = ("unbound", "bind9")  # these servers feed the agent with "ipv6-clients on"
CHILDREN = []

UNBOUND = """server:
  interface: {addr}
  interface: ::1
  port: {port}
  username: ""
  chroot: ""
  directory: "{dir}"
  pidfile: ""
  use-syslog: no
  local-zone: "." static
{data}
"""
DNSTAP = """dnstap:
  dnstap-enable: yes
  dnstap-socket-path: "{sock}"
  dnstap-log-client-query-messages: yes
  dnstap-log-client-response-messages: yes
"""
# Name, address (named listens only on the interfaces' own), configuration, command; {bport}
# is a plain unbound without dnstap.
SERVERS = [
    ("unbound", "127.0.0.53", UNBOUND + DNSTAP, ["unbound", "-d", "-c", "{conf}"]),
    ("bind9", "127.0.0.1", """options {{
  directory "{dir}";
  pid-file none;
  listen-on port {port} {{ {addr}; }};
  listen-on-v6 port {port} {{ ::1; }};
  recursion no;
  notify no;
  dnstap {{ client; auth; }};
  dnstap-output unix "{sock}";
}};
controls {{ }};
zone "example.test" {{ type primary; file "{zone}"; }};
""", ["named", "-g", "-c", "{conf}"]),
    ("knot", "127.0.0.55", """server:
  rundir: "{dir}"
  listen: [ {addr}@{port}, ::1@{port} ]
database:
  storage: "{dir}"
mod-dnstap:
  - id: sabrel
    sink: "unix:{sock}"

zone:
  - domain: example.test
    file: "{zone}"
    module: mod-dnstap/sabrel
""", ["knotd", "-c", "{conf}"]),
    ("kresd", "127.0.0.56", """net.listen('{addr}', {port}, {{ kind = 'dns' }})
net.listen('::1', {port}, {{ kind = 'dns' }})
modules = {{
    dnstap = {{
        socket_path = "{sock}",
        client = {{ log_queries = true, log_responses = true }},
    }},
}}
policy.add(policy.all(policy.STUB('127.0.0.1@{bport}')))
""", ["kresd", "-n", "-q", "-c", "{conf}", "{dir}"]),
    ("dnsdist", "127.0.0.57", """setSecurityPollSuffix('')
setLocal('{addr}:{port}')
addLocal('[::1]:{port}')
newServer({{ address = '127.0.0.1:{bport}' }})
tap = newFrameStreamUnixLogger("{sock}")
addAction(AllRule(), DnstapLogAction("dnsdist", tap))
addResponseAction(AllRule(), DnstapLogResponseAction("dnsdist", tap))
""", ["dnsdist", "--supervised", "--disable-syslog", "-C", "{conf}"]),
]


def free_port(addr):
    with socket.socket() as s:
        s.bind((addr, 0))
        return s.getsockname()[1]


def distinct_ports(addrs):
    """A free port per address, no two alike: the servers all listen on ::1 too, and there
    only the port tells one server's messages from another's."""
    ports = []
    while len(ports) < len(addrs):
        port = free_port(addrs[len(ports)])
        ports += [] if port in ports else [port]
    return ports


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def start(name, argv, stdout=None):  # main stops every child at the end
    err = open(name + ".log", "a") if stdout else subprocess.STDOUT
    CHILDREN.append(subprocess.Popen(argv, stdout=open(stdout or name + ".log", "w"),
                                     stderr=err, stdin=subprocess.DEVNULL))
    return CHILDREN[-1]


def stop(child, sig=signal.SIGTERM):
    if child.poll() is None:
        child.send_signal(sig)
        try:
            child.wait(5)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait(5)


def listening_port(log):
    """The port a collector started with --port 0 names in its log."""
    listening = lambda: Path(log).read_text().partition("listening on ")[2]
    assert wait_for(lambda: "\n" in listening(), 10), "collector silent"
    return int(listening().split()[0].rsplit(":", 1)[1])


def run_test(name, body, passed):
    """body(work) in a fresh directory within 150 s, its children stopped after it; the exit
    status for its failures."""
    for sig in (signal.SIGTERM, signal.SIGALRM):
        signal.signal(sig, lambda signum, _: sys.exit(f"{name}: signal {signum}"))
    signal.alarm(150)  # below the ctest time-out, so that the children are still stopped
    work = tempfile.mkdtemp(prefix=f"tarn-{name}-")
    os.chmod(work, 0o755)
    os.chdir(work)
    try:
        failures = body(work)
    finally:
        for child in reversed(CHILDREN):
            stop(child)
    print("".join(f"FAIL {failure}\n" for failure in failures), end="")
    if failures:
        print(f"{name}: FAILED, files kept in {work}")
        return 1
    shutil.rmtree(work)
    print(f"{name}: {passed}")
    return 0


def collected():
    return [r for r in map(json.loads, open("collector.out")) if r.get("type") == "dns"]


def brief(record):
    return {k: record.get(k) for k in ("time", "device", "server", "transport", "qname", "id", "qr")}


def dig(server, port, client, name, options):
    return subprocess.run(["dig", "@" + server, "-p", str(port), "-b", client,
                           name + ".example.test", "A", "+tries=1", "+time=1"] + options,
                          capture_output=True, text=True, timeout=10).stdout


def wire_messages(pcap, servers):
    """(server end, transport, src, dst, time, DNS bytes) per message; TCP is re-framed. A
    client's ephemeral port may equal a server's port, so an end is an address and a port."""
    fields = ["frame.time_epoch", "ip.src", "ipv6.src", "ip.dst", "ipv6.dst", "udp.srcport",
              "udp.dstport", "tcp.srcport", "tcp.dstport", "udp.payload", "tcp.payload"]
    out = subprocess.run(["tshark", "-r", pcap, "-T", "fields", "-E", "separator=|"] +
                         [a for f in fields for a in ("-e", f)], capture_output=True, text=True,
                         timeout=60, check=True).stdout
    messages, streams = [], {}
    for line in out.splitlines():
        t, ip4s, ip6s, ip4d, ip6d, us, ud, ts, td, up, tp = line.split("|")
        src, dst, sport, dport = ip4s or ip6s, ip4d or ip6d, int(us or ts), int(ud or td)
        end = (dst, dport) if (dst, dport) in servers else (src, sport)
        if up:
            messages.append((end, "udp", src, dst, float(t), bytes.fromhex(up)))
        elif tp:
            buf = streams.setdefault((src, sport, dst, dport), bytearray())
            buf += bytes.fromhex(tp)
            while len(buf) >= 2 and len(buf) >= (size := 2 + int.from_bytes(buf[:2], "big")):
                messages.append((end, "tcp", src, dst, float(t), bytes(buf[2:size])))
                del buf[:size]
    return messages


def compare(name, addr, port, wire, records):
    """Prints the server's counts; returns its failures."""
    mine = [m for m in wire if m[0] in ((addr, port), ("::1", port)) and PROBE not in m[2:4]]
    v4, v6 = [m for m in mine if ":" not in m[2]], [m for m in mine if ":" in m[2]]
    v6_on, v6_packets = name in IPV6_ON, {m[5].hex() for m in v6}
    # Records of ::1 carry no port: the DNS bytes tell whose they are.
    unused = [r for r in records if r["device"] != PROBE and (r["server"] == addr or (
        v6_on and r["server"] == "::1" and r["packet"] in v6_packets))]
    count, failures = len(unused), []
    for _, transport, src, dst, t, payload in v4 + (v6 if v6_on else []):
        query = not payload[2] & 0x80
        client, server = (src, dst) if query else (dst, src)
        hits = [r for r in unused if (r["packet"], r["device"], r["server"], r["transport"]) ==
                (payload.hex(), client, server, transport) and abs(datetime.datetime.strptime(
                    r["time"] + "+0000", "%Y-%m-%dT%H:%M:%SZ%z").timestamp() - t) <= 2]
        if hits:
            unused.remove(hits[0])
        else:
            failures.append(f"{name}: no record of the {transport} "
                            f"{'query' if query else 'response'} {src} -> {dst} at {t:.3f}")
    failures += [f"{name}: record matching no message on the wire: {brief(r)}" for r in unused]
    failures += [f"{name}: IPv6 message recorded: {brief(r)}" for r in records
                 if r["packet"] in v6_packets and not v6_on]
    # The scenario itself: all messages seen, the big answer truncated over UDP, whole over TCP.
    big = {m[1]: m[5] for m in v4 if m[3] in (QUERIES[2][0], QUERIES[5][0]) and m[5][2] & 0x80}
    shape = (len(v4), len(v6), bool(big.get("udp", b"\0" * 3)[2] & 0x02),
             len(big.get("tcp", b"")) > 1232)
    if shape != (WIRE_V4, 2, True, True):
        failures.append(f"{name}: on the wire (IPv4 messages, IPv6 messages, big answer "
                        f"truncated over UDP, whole over TCP) = {shape}, not ({WIRE_V4}, 2, "
                        "True, True)")
    state = "byte-identical" if not failures else f"{len(failures)} failures"
    print(f"{name}: records {count} / wire messages {len(v4) + len(v6) * v6_on}, {state}",
          flush=True)
    return failures


def run_server(values, name, command):
    """Starts the server, waits until it answers and its probes arrive, sends the queries."""
    if not shutil.which(command[0]):
        return [f"{name}: {command[0]} is not installed"]
    server = start(name, [a.format(**values) for a in command])
    addr, port = values["addr"], values["port"]
    mine = lambda probes: [r for r in collected() if r["server"] == addr and
                           (r["device"] == PROBE) == probes]
    alive = lambda: server.poll() is None and "status:" in dig(addr, port, PROBE, "www", [])
    # Probe until a probe's record shows the dnstap connection is up; a server whose events
    # the agent drops never gets there, so then it only has to answer.
    if not wait_for(lambda: alive() and mine(True), 5) and not alive():
        stop(server)
        return [f"{name}: did not start or answer (see {name}.log)"]
    for client, qname, options in QUERIES:
        dig("::1" if ":" in client else addr, port, client, qname, options)
    v6 = lambda: [r for r in collected() if r["server"] == "::1"]
    wait_for(lambda: len(mine(False)) >= WIRE_V4 and len(v6()) >= values["v6_records"], 6)
    time.sleep(0.5)  # a duplicate would come right behind
    stop(server)
    return []


def servers(agent, collector, work):
    failures, started = [], []
    Path("example.test.zone").write_text("\n".join(ZONE) + "\n")
    start("collector", [collector, "--port", "0"], "collector.out")
    collector_port = listening_port("collector.log")
    agents, socks = [], []
    for extra in ("", "ipv6-clients on\n"):  # the second agent, beside it, for IPV6_ON
        home, socks = f"agent{len(agents)}", socks + [f"{work}/dnstap{len(agents)}.sock"]
        os.makedirs(f"{home}/log")
        shutil.copy(agent, f"{home}/agent")
        Path(f"{home}/agent.conf").write_text(f"target 127.0.0.1:{collector_port}\n"
                                              f"logging on\ndnstap-socket {socks[-1]}\n{extra}")
        agents.append(start(home, [f"{home}/agent", f"{home}/agent.conf"]))
    assert wait_for(lambda: all(map(os.path.exists, socks)), 10), "agent made no socket"

    *picked, bport = distinct_ports([addr for _, addr, _, _ in SERVERS] + ["127.0.0.1"])
    ports = {name: port for (name, _, _, _), port in zip(SERVERS, picked)}
    common = dict(sock=socks[0], zone=f"{work}/example.test.zone", bport=bport,
                  data="\n".join(f'  local-data: "{rr}"' for rr in ZONE))
    tshark = start("tshark", ["tshark", "-i", "lo", "-B", "32", "-w", "lo.pcap", "-f",
                              " or ".join(f"port {p}" for p in ports.values())])
    assert wait_for(lambda: "Capturing on" in Path("tshark.log").read_text(), 15), "tshark"
    Path("backend.conf").write_text(UNBOUND.format(
        addr="127.0.0.1", port=common["bport"], dir=work, **common).replace(
            "  interface: ::1\n", ""))
    start("backend", ["unbound", "-d", "-c", "backend.conf"])

    v6_records = 0
    for name, addr, config, command in SERVERS:
        v6_records += 2 * (name in IPV6_ON)  # ::1 records, this server's included
        values = dict(common, addr=addr, port=ports[name], conf=f"{work}/{name}.conf",
                      dir=f"{work}/{name}", v6_records=v6_records,
                      sock=socks[name in IPV6_ON])
        os.makedirs(name)
        Path(values["conf"]).write_text(config.format(**values))
        failed = run_server(values, name, command)
        failures, started = failures + failed, started + ([] if failed else [name])
    time.sleep(1.5)  # the capture's last packets, on a loaded machine
    stop(tshark, signal.SIGINT)
    ends = {(a, ports[name]) for name, addr, _, _ in SERVERS for a in (addr, "::1")}
    wire, records = wire_messages("lo.pcap", ends), collected()
    for name, addr, _, _ in SERVERS:
        failures += compare(name, addr, ports[name], wire, records) if name in started else []
    v6_taken = {m[5].hex() for m in wire if m[0][0] == "::1" and m[0][1] in
                {ports[name] for name in IPV6_ON}}
    failures += [f"record from no server under test: {brief(r)}" for r in records
                 if r["server"] not in {addr for _, addr, _, _ in SERVERS} and
                 r["packet"] not in v6_taken]
    for agent in agents:
        stop(agent)
        failures += [f"agent exited with {agent.returncode}"] if agent.returncode else []
    return failures


if __name__ == "__main__":
    AGENT, COLLECTOR = (os.path.abspath(a) for a in sys.argv[1:3])
    sys.exit(run_test("dns_servers", lambda work: servers(AGENT, COLLECTOR, work),
                      "every server's records byte-identical with the wire"))
