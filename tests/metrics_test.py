#!/usr/bin/env python3
"""The figures reach a real Prometheus: unbound's traffic through the agent, installed the way
the unit runs it (another user, umask 0077, metrics-file in a directory of its own), to the
collector (--metrics); Debian's node_exporter, as a third user, reads the agent's file. What
Prometheus scraped must equal the records the collector wrote; promtool must pass both outputs
and the rules file. Then the collector's agent labels stay within --metrics-agents.
Usage: metrics_test.py AGENT COLLECTOR"""
import json, os, pwd, shutil, socket, subprocess, sys, time, urllib.error, urllib.parse
import urllib.request
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dns_servers_test
from dns_servers_test import (DNSTAP, UNBOUND, ZONE, collected, dig, free_port, listening_port,
                              run_test, start, stop, wait_for)

SOURCE = Path(__file__).resolve().parent.parent
ROOT = os.geteuid() == 0


def as_user(user, argv):
    """argv run as user with the unit's umask, when the test may switch users."""
    return ["runuser", "-u", user, "--", "sh", "-c", 'umask 077; exec "$@"', "sh"] + argv \
        if ROOT else argv


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, ""
    except OSError:
        return 0, ""


def query(prometheus, expression):
    """The value of an instant query with one result, or None."""
    status, body = get(f"{prometheus}/api/v1/query?" + urllib.parse.urlencode({"query": expression}))
    result = json.loads(body)["data"]["result"] if status == 200 else []
    return float(result[0]["value"][1]) if len(result) == 1 else None


def promtool_metrics(name, text):
    checked = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                             text=True, timeout=30)
    return [] if checked.returncode == 0 else [f"promtool check metrics, {name}: {checked.stdout}"
                                               f"{checked.stderr}"]


def scrape(agent, collector, work):
    failures = []
    checked = subprocess.run(["promtool", "check", "rules", f"{SOURCE}/monitoring/sabrel.rules.yml"],
                             capture_output=True, text=True, timeout=30)
    failures += [] if checked.returncode == 0 else [f"rules: {checked.stdout}{checked.stderr}"]
    start("collector", [collector, "--port", "0", "--metrics", "127.0.0.1:0"], "collector.out")
    port = listening_port("collector.log")
    assert wait_for(lambda: "metrics on http://" in Path("collector.log").read_text(), 5)
    collector_metrics = Path("collector.log").read_text().split("metrics on http://")[1].split(
        "/metrics")[0]

    # The agent's home as the install makes it: its own user, a metrics directory (0755) that
    # only it writes.
    os.makedirs("agent/metrics")
    shutil.copy(agent, "agent/agent")
    metrics_file = f"{work}/agent/metrics/sabrel-agent.prom"
    Path("agent/agent.conf").write_text(f"target 127.0.0.1:{port}\ndnstap-socket {work}/agent/"
                                        f"dnstap.sock\nmetrics-file {metrics_file}\n")
    if ROOT:
        shutil.chown("agent", "nobody")
        shutil.chown("agent/metrics", "nobody")
    os.chmod("agent/metrics", 0o755)
    start("agent", as_user("nobody", [f"{work}/agent/agent", f"{work}/agent/agent.conf"]))
    node_port, prometheus_port, dns_port = (free_port("127.0.0.1") for _ in range(3))
    start("node", as_user("daemon", [
        "prometheus-node-exporter", f"--web.listen-address=127.0.0.1:{node_port}",
        "--collector.disable-defaults", "--collector.textfile",
        f"--collector.textfile.directory={work}/agent/metrics"]))
    Path("prometheus.yml").write_text(f"""global: {{scrape_interval: 1s}}
scrape_configs:
  - job_name: node
    static_configs: [{{targets: ["127.0.0.1:{node_port}"]}}]
  - job_name: collector
    static_configs: [{{targets: ["{collector_metrics}"]}}]
""")
    start("prometheus", ["prometheus", "--config.file=prometheus.yml", "--storage.tsdb.path=data",
                         f"--web.listen-address=127.0.0.1:{prometheus_port}"])
    prometheus = f"http://127.0.0.1:{prometheus_port}"
    assert wait_for(lambda: os.path.exists("agent/dnstap.sock"), 10), "agent made no socket"

    Path("unbound.conf").write_text((UNBOUND + DNSTAP).format(
        addr="127.0.0.53", port=dns_port, dir=work, sock=f"{work}/agent/dnstap.sock",
        data="\n".join(f'  local-data: "{rr}"' for rr in ZONE)).replace("  interface: ::1\n", ""))
    start("unbound", ["unbound", "-d", "-c", "unbound.conf"])
    wait_for(lambda: "status:" in dig("127.0.0.53", dns_port, "127.0.0.9", "www", []), 10)
    for i in range(20):
        dig("127.0.0.53", dns_port, f"127.0.0.{10 + i}", "www" if i % 2 else "missing", [])
    wait_for(lambda: len(collected()) >= 40, 10)
    time.sleep(1)  # a duplicate would come right behind
    records = len(collected())
    failures += [] if records >= 40 else [f"the collector wrote {records} records, not 40 or more"]

    # While the agent runs: the collector's figures, and the agent's file through node_exporter.
    expected = {"sabrel_collector_records_total": records, "sabrel_collector_agents_connected": 1,
                'sabrel_collector_agent_records_total{agent="127.0.0.1"}': records,
                "sabrel_agent_capture_running": 1,
                'sabrel_agent_target_connected{target="127.0.0.1:%d"}' % port: 1,
                'node_textfile_scrape_error{job="node"}': 0}
    got = {}
    wait_for(lambda: got.update({name: query(prometheus, name) for name in expected}) or
             got == expected, 40)
    failures += [f"Prometheus: {name} = {got.get(name)}, expected {value}"
                 for name, value in expected.items() if got.get(name) != value]
    failures += promtool_metrics("collector", get(f"http://{collector_metrics}/metrics")[1])
    # At stop the agent writes its last figures: every record it sent, no more.
    stop(next(c for c in dns_servers_test.CHILDREN if "agent.conf" in " ".join(c.args)))
    sent = lambda: query(prometheus, "sabrel_agent_records_sent_total")
    wait_for(lambda: sent() == records, 20)
    failures += [] if sent() == records else [f"sabrel_agent_records_sent_total = {sent()}, "
                                              f"the collector wrote {records}"]
    if ROOT and pwd.getpwuid(os.stat(metrics_file).st_uid).pw_name != "nobody":
        failures.append("the metrics file is not the agent user's")
    failures += promtool_metrics("agent", Path(metrics_file).read_text())
    return failures + agent_labels(collector)


def agent_labels(collector):
    """Twenty agents, each from its own address, against --metrics-agents 5: five addresses
    and "other" are labels, and every record is counted once; other paths and methods are
    refused."""
    start("bounded", [collector, "--port", "0", "--metrics", "0", "--metrics-agents", "5"],
          "bounded.out")
    port = listening_port("bounded.log")
    url = Path("bounded.log").read_text().split("metrics on ")[1].split()[0]
    stream = (SOURCE / "fuzz/corpus/collector/udp_v4").read_bytes()[1:]  # version, 2 records
    for i in range(20):
        with socket.create_connection(("127.0.0.1", port), source_address=(f"127.0.1.{i + 1}", 0)) as s:
            s.sendall(stream)
    lines = lambda: [l for l in get(url)[1].splitlines()
                     if l.startswith("sabrel_collector_agent_records_total{")]
    wait_for(lambda: sum(int(l.split()[-1]) for l in lines()) == 40, 10)
    names = sorted(l.split('"')[1] for l in lines())
    post = urllib.request.Request(url, b"x")
    try:
        urllib.request.urlopen(post, timeout=5)
        posted = 200
    except urllib.error.HTTPError as error:
        posted = error.code
    answers = (get(url.replace("/metrics", "/other"))[0], posted)
    wanted = ["127.0.1.16", "127.0.1.17", "127.0.1.18", "127.0.1.19", "127.0.1.20", "other"]
    total = sum(int(l.split()[-1]) for l in lines())
    return ([] if (names, total) == (wanted, 40) else [
        f"agent labels {names} counting {total} records, expected {wanted} counting 40"]) + (
        [] if answers == (404, 405) else [f"another path, POST: {answers}, not (404, 405)"])


if __name__ == "__main__":
    AGENT, COLLECTOR = (os.path.abspath(a) for a in sys.argv[1:3])
    sys.exit(run_test("metrics", lambda work: scrape(AGENT, COLLECTOR, work),
                      "Prometheus scraped the figures the records make"))
