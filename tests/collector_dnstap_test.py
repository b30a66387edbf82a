#!/usr/bin/env python3
"""The collector as a bridge into dnstap, judged by tools nobody here wrote. Real unbound sends
dnstap to the real agent, the agent delivers to the collector. BIND's dnstap-read must show, in
the collector's dnstap file and in what fstrm_capture took from its unix: output, the records of
the JSON output with the same DNS bytes, addresses, transport and time, dnstap-ldns the same
messages, tshark the same bytes in the pcap. Meanwhile 1,000 idle peers, one that stops inside a
frame, one over the connection limit and a stdout nobody reads must not stop the agent's records.
Usage: collector_dnstap_test.py AGENT COLLECTOR"""
import datetime, fcntl, json, os, re, resource, shutil, signal, socket, struct, subprocess, sys
import threading, time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dns_servers_test import (CHILDREN, DNSTAP, UNBOUND, ZONE, dig, free_port, listening_port,
                              run_test, start, stop, wait_for)

IDLE, BURST, STALL = 1000, 300, 3  # idle peers, queries while stdout is stalled, --stall-timeout


def udp_query(port, name, qid):
    wire = struct.pack(">6H", qid, 0x0100, 1, 0, 0, 0) + b"".join(
        bytes([len(label)]) + label.encode() for label in name.split(".")) + b"\0\0\1\0\1"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.12", 0))
        s.settimeout(2)
        s.sendto(wire, ("127.0.0.53", port))
        return s.recv(4096)


def dnstap_read(path):
    """(type, client, server, transport, time, question, DNS hex) per message, by dnstap-read."""
    lines = subprocess.run(["dnstap-read", "-x", path], capture_output=True, text=True,
                           timeout=30, check=True).stdout.splitlines()
    messages = []
    for head, payload in zip(lines[::2], lines[1::2]):
        day, clock, kind, client, _, server, transport, _, question = head.split()
        messages.append((kind, client.rsplit(":", 1)[0], server.rsplit(":", 1)[0], transport,
                         f"{day} {clock}", question, payload.lower()))
    return messages


def as_dnstap_read(record):
    """What dnstap-read prints for a JSON record (TZ is UTC)."""
    when = datetime.datetime.strptime(record["time"], "%Y-%m-%dT%H:%M:%SZ")
    return ("CR" if record["qr"] else "CQ", record["device"], record["server"],
            record["transport"].upper(), when.strftime("%d-%b-%Y %H:%M:%S.000"),
            f"{record['qname'].rstrip('.')}/IN/{record['qtype_name']}", record["packet"])


def dnstap_ldns(*args):
    """(top-level and message fields, the DNS message as printed) per message, by dnstap-ldns."""
    out = subprocess.run(["dnstap-ldns", "-y", *args], capture_output=True, text=True,
                         timeout=30, check=True).stdout
    docs = []
    for doc in out.split("---\n")[:-1]:
        head, _, message = doc.partition("_message: |\n")
        docs.append((dict(line.strip().split(": ", 1) for line in head.splitlines()
                          if ": " in line), message))
    return docs


def ldns_render(packet):
    """dnstap-ldns' text of a DNS message, wrapped here in a minimal Dnstap message."""
    def field(tag, data):
        return bytes([tag]) + (bytes([len(data)]) if len(data) < 128 else
                               bytes([len(data) & 127 | 128, len(data) >> 7])) + data
    Path("json.hex").write_text((b"\x78\x01" + field(0x72, b"\x08\x05" + field(
        0x52, bytes.fromhex(packet)))).hex())
    return dnstap_ldns("-x", "-r", "json.hex")[0][1]


def pcap_payloads(path):
    out = subprocess.run(["tshark", "-r", path, "-T", "fields", "-e", "udp.payload", "-e",
                          "tcp.payload"], capture_output=True, text=True, timeout=60).stdout
    return [udp or tcp[4:] for udp, tcp in (line.split("\t") for line in out.splitlines())]


def hostile_peers(port):
    """1,000 idle peers, one that stops inside its second frame, one over the limit."""
    idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(IDLE)]
    half = socket.create_connection(("127.0.0.1", port))
    half.sendall(struct.pack(">I", 6) + b"\x013.7.1" + struct.pack(">I", 100) + b"\x02" * 40)
    return idle, half, socket.create_connection(("127.0.0.1", port))


def closed_by_peer(sockets, seconds):
    deadline = time.monotonic() + seconds
    for s in sockets:
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            if s.recv(1) != b"":
                return False
        except socket.timeout:
            return False
    return True


def read_until_stalled(stream, records, stalled):
    for line in stream:
        if stalled.is_set():
            return  # and never read again
        records.append(json.loads(line))


def start_collector(work):
    CHILDREN.append(subprocess.Popen([
        COLLECTOR, "--port", "0", "--dnstap", "out.fstrm", "--dnstap", f"unix:{work}/cap.sock",
        "--pcap", "out.pcap", "--stall-timeout", str(STALL), "--max-connections", str(IDLE + 2),
        "--buffer", "65536"], stdout=subprocess.PIPE, stderr=open("collector.log", "w")))
    fcntl.fcntl(CHILDREN[-1].stdout, getattr(fcntl, "F_SETPIPE_SZ", 1031), 4096)
    return CHILDREN[-1], listening_port("collector.log")


def start_agent_and_unbound(work, collector_port):
    os.makedirs("agent/log")
    shutil.copy(AGENT, "agent/agent")
    sock, port = f"{work}/dnstap.sock", free_port("127.0.0.53")
    Path("agent.conf").write_text(
        f"target 127.0.0.1:{collector_port}\nlogging on\ndnstap-socket {sock}\n")
    start("agent", ["agent/agent", "agent.conf"])
    assert wait_for(lambda: os.path.exists(sock), 10), "agent made no dnstap socket"
    Path("unbound.conf").write_text(UNBOUND.format(  # www, and big of 1.6 kB
        addr="127.0.0.53", port=port, dir=work,
        data="\n".join(f'  local-data: "{rr}"' for rr in ZONE[3:])) + DNSTAP.format(sock=sock))
    start("unbound", ["unbound", "-d", "-c", "unbound.conf"])
    return port


def run(work):
    """Returns the failures."""
    start("fstrm_capture", ["fstrm_capture", "-t", "protobuf:dnstap.Dnstap", "-u",
                            f"{work}/cap.sock", "-w", "cap.fstrm"])
    assert wait_for(lambda: os.path.exists("cap.sock"), 10), "fstrm_capture made no socket"
    collector, collector_port = start_collector(work)
    lines, stalled = [], threading.Event()
    threading.Thread(target=read_until_stalled, args=(collector.stdout, lines, stalled),
                     daemon=True).start()
    records = lambda: [r for r in lines if r["type"] == "dns"]
    port = start_agent_and_unbound(work, collector_port)
    ask = lambda name, *options: dig("127.0.0.53", port, "127.0.0.11", name, list(options))
    assert wait_for(lambda: "status:" in ask("www") and records(), 15), "no first record"
    before = len(records())
    for query in (["www"], ["missing"], ["www", "+tcp"], ["big", "+tcp"]):
        ask(*query)
    assert wait_for(lambda: len(records()) >= before + 8, 10), "the queries' records"
    time.sleep(STALL + 1)  # a quiet agent, which must not be cut: "cut" counts only the peers

    stalled.set()  # from here on nobody reads the collector's stdout
    idle, half, over = hostile_peers(collector_port)
    for i in range(BURST):
        udp_query(port, f"q{i}.example.test", i)
    ask("end")  # its record comes after all of the burst's
    failures = [] if wait_for(lambda: b"\x03end\x07example" in Path("out.pcap").read_bytes(),
                              15) else ["the agent's records stopped arriving"]
    failures += [] if closed_by_peer([over], 5) else ["the connection over the limit stayed"]
    failures += [] if closed_by_peer(idle + [half], STALL + 10) else ["a stalled peer stayed"]
    collector.send_signal(signal.SIGTERM)
    try:
        failures += [] if collector.wait(15) == 0 else [f"collector exit {collector.returncode}"]
    except subprocess.TimeoutExpired:
        failures.append("the collector did not stop within 15 s on SIGTERM")
    stop(CHILDREN[0], signal.SIGINT)  # fstrm_capture closes its file
    return failures + compare(records(), [r["version"] for r in lines if r["type"] == "version"])


def compare(json_records, versions):
    log = Path("collector.log").read_text()
    summary = dict(re.findall(r"(\w+) (\d+)", log.partition("summary: ")[2]))
    tap, captured = dnstap_read("out.fstrm"), dnstap_read("cap.fstrm")
    got = {k: int(summary.get(k, -1)) for k in ("records", "refused", "cut", "errors", "stdout",
                                                "pcap", "dnstap")}
    want = dict(records=len(tap), refused=1, cut=IDLE + 1, errors=0, pcap=0, dnstap=0)
    failures = [f"summary {k} {got[k]}, not {v}" for k, v in want.items() if got[k] != v]
    failures += [] if got["stdout"] > 0 else ["stdout never read, yet nothing dropped"]
    failures += [] if captured == tap else ["fstrm_capture got other messages than the file"]
    shown = [as_dnstap_read(r) for r in json_records]
    failures += [] if tap[:len(shown)] == shown else ["JSON is no prefix of dnstap-read's view"]
    burst = {(kind, f"q{i}.example.test/IN/A") for i in range(BURST) for kind in ("CQ", "CR")}
    failures += [] if burst <= {(t[0], t[5]) for t in tap} else ["burst records missing"]
    failures += [] if pcap_payloads("out.pcap") == [t[6] for t in tap] else ["pcap payloads"]
    docs = dnstap_ldns("-r", "out.fstrm")
    for (fields, message), record in zip(docs, json_records):
        seen = [fields[k] for k in ("type", "query_address", "response_address",
                                    "socket_protocol", "version")] + [message]
        wanted = ["CLIENT_RESPONSE" if record["qr"] else "CLIENT_QUERY", f'"{record["device"]}"',
                  f'"{record["server"]}"', record["transport"].upper(), f'"{versions[0]}"',
                  ldns_render(record["packet"])]
        if seen != wanted or not fields["identity"].startswith(f'"conn {record["conn"]} from '):
            failures.append(f"dnstap-ldns shows {fields} for {record}")
            break
    print(f"collector_dnstap: {len(tap)} dnstap messages, {len(json_records)} JSON records "
          f"before stdout stalled, summary {got}", flush=True)
    return failures + ([] if len(docs) == len(tap) else ["dnstap-ldns read another count"])


if __name__ == "__main__":
    AGENT, COLLECTOR = (os.path.abspath(a) for a in sys.argv[1:3])
    os.environ["TZ"] = "UTC"  # dnstap-read prints local time
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    sys.exit(run_test("collector_dnstap", run, "dnstap-read, dnstap-ldns, fstrm_capture and "
                      "tshark agree with the JSON"))
