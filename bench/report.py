#!/usr/bin/env python3
"""The benchmark table from the results in a work directory, the data frames of a Frame
Streams file, or the DNS records of a file holding the agent's stream.
  report.py table WORK_DIR
  report.py count-frames FILE
  report.py count-records FILE
  report.py profile RUN_DIR      (after TARN_BENCH_PROFILE=1 scripts/bench.sh)
"""
import json
import os
import statistics
import struct
import subprocess
import sys


def count_frames(path):
    """Data frames in a Frame Streams file (control frames have a zero length in front)."""
    data = open(path, "rb").read()
    at, frames = 0, 0
    while at + 4 <= len(data):
        (length,) = struct.unpack_from(">I", data, at)
        at += 4
        if length == 0:
            (length,) = struct.unpack_from(">I", data, at)
            at += 4
        else:
            frames += 1
        at += length
    return frames


def count_records(path):
    """DNS records in the agent's stream: frames of a 4-byte big-endian length and a record whose
    first byte is its type (1 the version, 2 a DNS record)."""
    data = open(path, "rb").read()
    at, records = 0, 0
    while at + 5 <= len(data):
        (length,) = struct.unpack_from(">I", data, at)
        if at + 4 + length > len(data):
            break  # a frame cut short by the end of the stream
        records += data[at + 4] == 2
        at += 4 + length
    return records


def fmt(value, unit="", digits=0):
    return "n/a" if value is None else f"{value:,.{digits}f}{unit}"


def micro_rows(work, row):
    micro = {}
    path = os.path.join(work, "micro.json")
    if not os.path.exists(path):
        return
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            micro[b["run_name"]] = b

    def get(name, counter):
        return micro.get(name, {}).get(counter)

    def ns(name):
        value = get(name, "ns_per_event")
        return None if value is None else value * 1e9

    def per_event(n):
        return f"{fmt(ns(n), ' ns/event')}, {fmt(get(n, 'allocs_per_event'), ' allocs/event', 2)}"

    for size in (60, 120, 250, 500):
        row(f"1 decode+push, {size}-byte packets", per_event(f"BM_DecodeAndPush/{size}"),
            "<= 300 ns, 0 allocs")
    for size in (60, 250, 500):
        row(f"1b dnstap frame to ring, {size}-byte packets",
            per_event(f"BM_DnstapFrameToRing/{size}"))
    for size in (100, 1024):
        n = f"BM_QueuePushPop/{size}/real_time"
        row(f"2 queue push/pop, {size}-byte messages",
            f"{fmt(get(n, 'pairs_per_s'), ' pairs/s')}, lost {fmt(get(n, 'lost'))}")
    for sink, records, label in ((0, 200000, "reference collector"), (1, 300000, "draining sink")):
        n = f"BM_PipelineVersusRawLoop/sink:{sink}/records:{records}/iterations:5/manual_time"
        for who, what in (("agent", "pipeline"), ("raw", "raw two-send loop")):
            row(f"3 {what} to {label}", f"{fmt(get(n, who + '_msgs_per_s'), ' msg/s')}, "
                f"{fmt(get(n, who + '_MB_per_s'), ' MB/s', 1)}")
        row(f"3 ratio pipeline / raw ({label})", fmt(get(n, "ratio"), "", 2), ">= 0.9")
    n = "BM_PipelineTlsVersusPlain/records:300000/iterations:5/manual_time"
    row("3 pipeline to draining sink, plain / over TLS",
        f"{fmt(get(n, 'plain_msgs_per_s'), ' msg/s')} / {fmt(get(n, 'tls_msgs_per_s'), ' msg/s')}")
    row("3 ratio pipeline over TLS / plain (draining sink)", fmt(get(n, "ratio"), "", 2))
    for mode, label in ((0, "collector never reads"), (1, "no collector")):
        n = f"BM_PushLatencyWhileStuck/absent:{mode}/iterations:1"
        row(f"4 push latency, {label}",
            f"p50 {fmt(get(n, 'p50_ns'), ' ns')}, p99 {fmt(get(n, 'p99_ns'), ' ns')}, "
            f"p99.9 {fmt(get(n, 'p999_ns'), ' ns')}, max {fmt(get(n, 'max_ns'), ' ns')}",
            "p99.9 < 10000 ns")
    for q in (16, 64):
        n = f"BM_AgentMemoryAfterOverflow/queue_MiB:{q}/iterations:1"
        row(f"4 agent peak RSS, queue-size {q} MiB",
            f"{fmt(get(n, 'peak_rss_MiB'), ' MiB', 1)} "
            f"(queue + {fmt(get(n, 'over_queue_MiB'), ' MiB', 1)}) after "
            f"{fmt(get(n, 'ring_passes'), ' ring passes', 0)}", "<= queue + 16 MiB")


def load_traffic(work):
    runs = {}
    path = os.path.join(work, "traffic.txt")
    if not os.path.exists(path):
        return runs
    for line in open(path):
        fields = dict(item.split("=", 1) for item in line.split())
        try:
            for key in ("qps", "captured", "frames_expected", "cpu_seconds"):
                fields[key] = float(fields[key])
        except (KeyError, ValueError):
            continue
        runs.setdefault((fields["kind"], fields["rate"]), []).append(fields)
    return runs


def traffic_rows(work, row):
    runs = load_traffic(work)

    def median(key, f):
        values = [f(r) for r in runs.get(key, [])]
        return statistics.median(values) if values else None

    def per_event(r):
        return r["cpu_seconds"] / r["captured"] * 1e6 if r["captured"] else 0

    def loss(r):
        return (1 - r["captured"] / r["frames_expected"]) * 100

    for rate in sorted({k[1] for k in runs}, key=lambda r: (r != "max", r)):
        where = "highest rate" if rate == "max" else f"paced at {rate} q/s"
        for kind, label in (("agent", "agent -> sink"),
                            ("agent-metrics", "agent with metrics-file -> sink"),
                            ("agent-tls", "agent -> TLS s_server"),
                            ("fstrm", "fstrm_capture -> file"), ("bare", "bare reader")):
            key = (kind, rate)
            if key not in runs:
                continue
            row(f"5 {where}, {label}: queries/s", fmt(median(key, lambda r: r["qps"])))
            # The run with the median loss, so its two counts belong together.
            ranked = sorted(runs[key], key=loss)
            middle = ranked[(len(ranked) - 1) // 2]
            row(f"5 {where}, {label}: captured / frames sent",
                f"{fmt(middle['captured'])} / {fmt(middle['frames_expected'])} "
                f"(loss {fmt(loss(middle), ' %', 2)}; worst run {fmt(loss(ranked[-1]), ' %', 2)})",
                "no loss" if kind.startswith("agent") else "")
            row(f"5 {where}, {label}: CPU per event", fmt(median(key, per_event), " us", 2))
        a, f = median(("agent", rate), per_event), median(("fstrm", rate), per_event)
        if a and f:
            row(f"5 {where}, CPU per event agent / fstrm_capture", f"{a / f:.2f}", "<= 1.0")
        a, t, b = (median((kind, rate), per_event) for kind in ("agent", "agent-tls", "bare"))
        m = median(("agent-metrics", rate), per_event)
        if a and m:
            row(f"5 {where}, CPU per event agent with metrics-file / without", f"{m / a:.2f}",
                "no measurable change")
        if a and t:
            row(f"5 {where}, CPU per event agent over TLS / plain", f"{t / a:.2f}", "<= 1.2")
        if a and b:
            row(f"5 {where}, CPU per event agent / bare reader (floor)", f"{a / b:.2f}",
                "<= 1.5" if rate == "max" else "<= 1.25")
        a, b = (median((kind, rate), loss) for kind in ("agent", "bare"))
        if rate == "max" and a is not None and b is not None:
            row(f"5 {where}, loss agent / bare reader (floor)", f"{fmt(a, ' %', 2)} / "
                f"{fmt(b, ' %', 2)}", "agent <= floor")
        a, f, b = (median((kind, rate), lambda r: r["qps"]) for kind in ("agent", "fstrm", "bare"))
        if rate == "max" and a and f:
            row(f"5 {where}, DNS server queries/s with agent / with fstrm_capture", f"{a / f:.2f}",
                ">= 0.95")
        if rate == "max" and a and b:
            row(f"5 {where}, DNS server queries/s with agent / with bare reader", f"{a / b:.2f}",
                ">= 0.98")


def collector_rows(work, row):
    path = os.path.join(work, "collector.txt")
    runs = {}
    for line in open(path) if os.path.exists(path) else []:
        fields = dict(item.split("=", 1) for item in line.split())
        runs.setdefault((fields["mode"], fields["agents"]), []).append(
            {k: float(v) for k, v in fields.items() if k not in ("kind", "mode")})

    def median(key, f):
        values = [f(r) for r in runs.get(key, [])]
        return statistics.median(values) if values else None

    per_record = lambda r: r["collector_cpu_seconds"] / r["records"] * 1e6
    for (mode, agents), label in ((("clickhouse", "4"), "into ClickHouse"),
                                  (("clickhouse-warm", "4"), "into ClickHouse, buffer warm"),
                                  (("json", "4"), "JSON lines only"),
                                  (("none", "4"), "no output (--no-json, the floor)"),
                                  (("none", "100"), "no output, 100 agents"),
                                  (("none", "1000"), "no output, 1,000 agents"),
                                  (("none", "4000"), "no output, 4,000 agents")):
        if (mode, agents) in runs:
            row(f"6 collector, {label}: CPU per record",
                fmt(median((mode, agents), per_record), " us", 2))
    key = ("clickhouse", "4")
    if key in runs:
        row("6 ClickHouse: CPU per row", fmt(median(key, lambda r: r["clickhouse_cpu_seconds"] /
                                                     r["rows"] * 1e6), " us", 2))
        row("6 ClickHouse: rows/s sustained, rows lost",
            f"{fmt(median(key, lambda r: r['rows'] / r['seconds']))}, "
            f"{fmt(median(key, lambda r: r['records'] - r['rows']))}", ">= 200,000, 0")
    f = median(("none", "4"), per_record)
    for mode, label in (("clickhouse", ""), ("clickhouse-warm", ", buffer warm")):
        c = median((mode, "4"), per_record)
        if c and f:
            row(f"6 collector CPU per record, ClickHouse{label} / floor", f"{c / f:.2f}",
                "<= 2.0")
    many, few = median(("none", "4000"), per_record), median(("none", "100"), per_record)
    if many and few:
        row("6 collector CPU per record, 4,000 agents / 100", f"{many / few:.2f}", "<= 1.2")


def row_format_rows(work, row):
    path = os.path.join(work, "row_formats.txt")
    runs = {}
    for line in open(path) if os.path.exists(path) else []:
        fields = dict(item.split("=", 1) for item in line.split())
        runs.setdefault((fields["kind"], fields["format"]), []).append(fields)
    value = lambda kind, fmt_, key: statistics.median(float(r[key]) for r in runs[(kind, fmt_)])
    for fmt_, label in (("rowbinary", "RowBinary"), ("tsv", "TabSeparated")):
        if ("row_format", fmt_) not in runs:
            continue
        row(f"6 ClickHouse rows in {label}: collector ns per row, bytes per row",
            f"{value('row_format', fmt_, 'ns_per_row'):.0f}, "
            f"{value('row_format', fmt_, 'bytes_per_row'):.0f}")
        per_row = lambda r: float(r["clickhouse_cpu_seconds"]) / float(r["rows"]) * 1e6
        row(f"6 ClickHouse rows in {label}: ClickHouse CPU per row taken",
            fmt(statistics.median(map(per_row, runs[("row_insert", fmt_)])), " us", 2))
    inserts = runs.get(("row_insert", "rowbinary"), []) + runs.get(("row_insert", "tsv"), [])
    if inserts:
        same = len({(r["rows"], r["sum"]) for r in inserts}) == 1
        row("6 ClickHouse rows: both formats' tables hold the same rows", "yes" if same else "NO",
            "yes")


def table(work):
    rows = []

    def row(figure, value, target=""):
        rows.append((figure, value, target))

    micro_rows(work, row)
    traffic_rows(work, row)
    collector_rows(work, row)
    row_format_rows(work, row)
    width = [max(len(r[i]) for r in rows + [("Figure", "Median", "Target")]) for i in range(3)]
    print(f"| {'Figure':<{width[0]}} | {'Median':<{width[1]}} | {'Target':<{width[2]}} |")
    print(f"|{'-' * (width[0] + 2)}|{'-' * (width[1] + 2)}|{'-' * (width[2] + 2)}|")
    for r in rows:
        print(f"| {r[0]:<{width[0]}} | {r[1]:<{width[1]}} | {r[2]:<{width[2]}} |")

# Where a capture's samples went (TARN_BENCH_PROFILE), by part, first match wins; the busiest
# thread is the capture thread, every other thread's samples are delivery.
PARTS = [
    ("kernel: wake-ups (sleep, switch, timers, poll)", "[k]", (
        "finish_task_switch", "_raw_spin_unlock_irqrestore", "schedule", "hrtimer", "poll",
        "nanosleep", "futex", "timespec", "irqentry", "syscall", "exit_to_user", "pollwait")),
    ("kernel: reading the dnstap socket", "[k]", ("",)),
    ("listener loop, clocks, system call wrappers", "[.]", ("Listener::",)),
    ("dnstap and Frame Streams decoding", "[.]", ("dnstap::", "frame_streams::")),
    ("stand-in event and TDH", "[.]", ("standin::", "Tdh", "find_property", "Session::")),
    ("decoder and record (handle_event)", "[.]", ("tarn::net::",)),
    ("ring push", "[.]", ("SensorQueue::", "mutex")),
    ("copies (memmove, memset, memcmp)", "[.]", ("__mem", "memcpy", "memcmp")),
    ("listener loop, clocks, system call wrappers", "[.]", ("",)),
]


def profile(run_dir):
    """Prints the share of the capture's samples per part, and per event from its CPU."""
    out = subprocess.run(["perf", "report", "-i", os.path.join(run_dir, "perf.data"), "--stdio",
                          "-n", "-s", "pid,sym"], capture_output=True, text=True).stdout
    samples = []  # (thread, kind, symbol, count)
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[0].endswith("%") and not line.startswith("#"):
            samples.append((fields[2], fields[3], " ".join(fields[4:]), int(fields[1])))
    threads = {}
    for thread, _, _, count in samples:
        threads[thread] = threads.get(thread, 0) + count
    capture = max(threads, key=threads.get)
    total = sum(threads.values())
    parts = {name: 0 for name, _, _ in PARTS}
    parts["delivery thread (copy out, send, kernel TCP)"] = 0
    for thread, kind, symbol, count in samples:
        if thread != capture:
            parts["delivery thread (copy out, send, kernel TCP)"] += count
            continue
        name = next(n for n, k, keys in PARTS if k == kind and any(key in symbol for key in keys))
        parts[name] += count
    # The run's CPU per event, from its line in traffic.txt.
    kind, rate, run = os.path.basename(run_dir.rstrip("/")).split("-", 1)[1].rsplit("-", 2)
    runs = load_traffic(os.path.dirname(run_dir.rstrip("/")))
    line = next(r for r in runs[(kind, rate)] if r["run"] == run)
    per_event = line["cpu_seconds"] / line["captured"] * 1e6
    print(f"{kind} at {rate}: {per_event:.2f} us of CPU per event")
    for name, count in parts.items():
        print(f"  {name}: {100 * count / total:.1f} %, {per_event * count / total:.2f} us")


if __name__ == "__main__":
    if sys.argv[1] == "count-frames":
        print(count_frames(sys.argv[2]))
    elif sys.argv[1] == "count-records":
        print(count_records(sys.argv[2]))
    elif sys.argv[1] == "profile":
        profile(sys.argv[2])
    else:
        table(sys.argv[2])
