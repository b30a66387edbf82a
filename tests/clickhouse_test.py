#!/usr/bin/env python3
"""Records into Debian's ClickHouse (18.16, started here on loopback ports of its own): unbound's
traffic through the agent to the collector with --clickhouse; the rows equal the JSON lines,
record for record, two messages that are not DNS among them. ClickHouse stopped for about 10 seconds while traffic flows and started
again: every record arrives, none twice. A column dropped under the collector: one error line,
the agents and the JSON lines served meanwhile, and the rows held arrive once it is back.
Usage: clickhouse_test.py AGENT COLLECTOR"""
import os, socket, struct, subprocess, sys, time, urllib.error, urllib.request
from collections import Counter
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dns_servers_test import (DNSTAP, UNBOUND, ZONE, collected, dig, free_port, listening_port,
                              run_test, start, stop, wait_for)

CONFIG = """<?xml version="1.0"?>
<yandex>
  <logger><level>warning</level><log>{work}/clickhouse.log</log>
          <errorlog>{work}/clickhouse.err.log</errorlog></logger>
  <http_port>{http}</http_port>
  <tcp_port>{tcp}</tcp_port>
  <listen_host>127.0.0.1</listen_host>
  <path>{work}/clickhouse/</path>
  <tmp_path>{work}/clickhouse/tmp/</tmp_path>
  <user_files_path>{work}/clickhouse/user_files/</user_files_path>
  <users_config>/etc/clickhouse-server/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <mark_cache_size>268435456</mark_cache_size>
</yandex>
"""
COLUMNS = "time, agent, device, server, transport, qname, qtype, rcode, lower(hex(packet))"


def sql(url, statement):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, statement.encode()), timeout=10) as a:
            return a.read().decode()
    except (urllib.error.URLError, OSError) as error:
        return f"ERROR {error}"


def as_row(record):
    """A JSON line as ClickHouse gives its row back in TabSeparated."""
    return "\t".join([record["time"].replace("T", " ").rstrip("Z"), record["agent"], record["device"],
                      record["server"], record["transport"], record.get("qname", ""),
                      str(record.get("qtype", 0)), str(record.get("rcode", 0)), record["packet"]])


def send_not_dns(port):
    """As an agent would: a record too short for a DNS header, one whose question is cut off."""
    frame = lambda payload: struct.pack(">I", len(payload)) + payload
    record = lambda packet: frame(b"\x02" + struct.pack(">I", int(time.time())) + b"\x09127.0.0.7"
                                  + b"\x09127.0.0.1\x00" + packet)
    with socket.create_connection(("127.0.0.1", port)) as peer:
        peer.sendall(frame(b"\x013.7.1") + record(b"\xab\xcd\x01") +
                     record(bytes.fromhex("123401000001000000000000037777")))


def store(agent, collector, work):
    http = free_port("127.0.0.1")
    Path("clickhouse.xml").write_text(CONFIG.format(work=work, http=http, tcp=free_port("127.0.0.1")))
    server = lambda: start("clickhouse", ["clickhouse-server", "--config-file=clickhouse.xml"])
    clickhouse, base = server(), f"http://127.0.0.1:{http}/"
    assert wait_for(lambda: sql(base, "SELECT 1").strip() == "1", 30), "ClickHouse did not start"
    sql(base, "CREATE DATABASE dns")
    url = base + "?database=dns"
    # A table that cannot take the rows: the collector does not start.
    sql(url, "CREATE TABLE unfit (time DateTime, agent UInt8) ENGINE = Memory")
    unfit = subprocess.run([collector, "--port", "0", "--clickhouse", url, "--clickhouse-table",
                            "unfit"], capture_output=True, text=True, timeout=30)
    failures = [] if unfit.returncode == 1 and "table unfit has no column agent of type String" \
        in unfit.stderr else [f"unfit table: exit {unfit.returncode}, {unfit.stderr!r}"]
    start("collector", [collector, "--port", "0", "--clickhouse", url], "collector.out")
    port = listening_port("collector.log")
    os.makedirs("agent")
    Path("agent/agent.conf").write_text(f"target 127.0.0.1:{port}\ndnstap-socket {work}/dnstap.sock\n")
    start("agent", [agent, f"{work}/agent/agent.conf"])
    assert wait_for(lambda: os.path.exists("dnstap.sock"), 10), "agent made no socket"
    dns_port = free_port("127.0.0.1")
    Path("unbound.conf").write_text((UNBOUND + DNSTAP).format(
        addr="127.0.0.53", port=dns_port, dir=work, sock=f"{work}/dnstap.sock",
        data="\n".join(f'  local-data: "{rr}"' for rr in ZONE)).replace("  interface: ::1\n", ""))
    start("unbound", ["unbound", "-d", "-c", "unbound.conf"])
    asked = 0

    def ask(count):  # queries from addresses of their own; waits for their records
        nonlocal asked
        for i in range(count):
            name = ("www", "missing", "big")[asked % 3]
            dig("127.0.0.53", dns_port, f"127.0.{1 + asked // 200}.{1 + asked % 200}", name,
                ["+tcp"] if asked % 5 == 0 else [])
            asked += 1
        wait_for(lambda: len(collected()) >= 2 * asked, 10)

    rows = lambda: Counter(sql(url, f"SELECT {COLUMNS} FROM dns_records FORMAT TabSeparated")
                           .splitlines())
    lines = lambda: Counter(map(as_row, collected()))

    def check(phase, seconds):
        wait_for(lambda: rows() == lines(), seconds)
        got, wanted = rows(), lines()
        if got != wanted:
            failures.append(f"{phase}: {sum(got.values())} rows, {sum(wanted.values())} JSON "
                            f"lines; missing {list((wanted - got).items())[:2]}, extra "
                            f"{list((got - wanted).items())[:2]}")

    wait_for(lambda: "status:" in dig("127.0.0.53", dns_port, "127.0.0.9", "www", []), 10)
    send_not_dns(port)
    ask(30)
    check("first traffic", 10)
    not_dns = [r.get("dns_error", "") for r in collected() if r["device"] == "127.0.0.7"]
    failures += [] if len(not_dns) == 2 and all(not_dns) else [f"not DNS: {not_dns}"]

    # A graceful stop for about 10 s, traffic going on.
    stop(clickhouse)
    ask(20)
    time.sleep(8)
    ask(10)
    clickhouse = server()
    check("across a restart", 40)

    # The table altered under the collector: one error line, the rows held until it is mended.
    said = lambda text: Path("collector.log").read_text().count(text)
    before = said("ClickHouse: insert of")
    failures += [] if before == 1 else [f"{before} ClickHouse error lines for the restart"]
    altered = sql(url, "ALTER TABLE dns_records DROP COLUMN rcode")
    ask(20)
    time.sleep(3)
    errors = said("ClickHouse: insert of") - before
    failures += [] if errors == 1 and not altered else [
        f"{errors} ClickHouse error lines for one refused column ({altered.strip()})"]
    failures += [] if len(collected()) >= 2 * asked else ["the JSON lines stopped"]
    sql(url, "ALTER TABLE dns_records ADD COLUMN rcode UInt8 AFTER opcode")
    wait_for(lambda: said("rows taken again") == 2, 40)
    count = sql(url, "SELECT count() FROM dns_records").strip()
    failures += [] if count == str(len(collected())) else [
        f"after the column came back: {count} rows, {len(collected())} JSON lines"]
    top = sql(url, "SELECT qname, sum(queries) FROM dns_records_hourly GROUP BY qname "
                   "ORDER BY qname FORMAT TabSeparated")
    per_name = Counter(r["qname"] for r in collected() if r.get("qr") == 0 and "qname" in r)
    wanted = "".join(f"{n}\t{c}\n" for n, c in sorted(per_name.items()))
    failures += [] if top == wanted else [f"hourly view: {top!r}, expected {wanted!r}"]
    return failures


if __name__ == "__main__":
    AGENT, COLLECTOR = (os.path.abspath(a) for a in sys.argv[1:3])
    sys.exit(run_test("clickhouse", lambda work: store(AGENT, COLLECTOR, work),
                      "every record a row, across a restart and a refused table"))
