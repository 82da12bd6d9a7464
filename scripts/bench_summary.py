#!/usr/bin/env python3
"""Prints the ratio table of a benchmark run from Google Benchmark JSON files.

Each row: what is measured, the measured value, its reference (the limit
measured in the same run), the ratio reference / measured, the goal, and
PASS or BELOW. Times are wall-clock (real_time). A benchmark run several
times (repetitions) counts with the median of its runs, time and counters
alike."""
import json
import statistics
import sys


def ns_of(b):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


def median_row(runs):
    row = {"real_time": statistics.median(ns_of(b) for b in runs), "time_unit": "ns", "repetitions": len(runs)}
    for key, value in runs[0].items():
        if key not in row and isinstance(value, (int, float)) and all(key in b for b in runs):
            row[key] = statistics.median(b[key] for b in runs)
    return row


def load(paths):
    runs = {}
    for path in paths:
        with open(path) as f:
            for b in json.load(f)["benchmarks"]:
                if b.get("run_type", "iteration") == "iteration":
                    runs.setdefault(b.get("run_name", b["name"]), []).append(b)
    return {name: median_row(r) for name, r in runs.items()}


def ns(b):
    return ns_of(b)


def fmt_time(t):
    return f"{t / 1000:.1f} us" if t < 1e6 else f"{t / 1e6:.2f} ms"


def main():
    rows = load(sys.argv[1:])
    table = []

    def time_row(label, measured, references, goal):
        if measured not in rows or any(r not in rows for r in references):
            table.append((label, "missing", "", "", f">= {goal:.2f}", "MISSING"))
            return
        m = ns(rows[measured])
        ref = sum(ns(rows[r]) for r in references)
        ratio = ref / m if m else 0
        table.append((label, fmt_time(m), fmt_time(ref), f"{ratio:.2f}", f">= {goal:.2f}",
                      "PASS" if ratio >= goal else "BELOW"))

    time_row("API version round trip vs echo", "BM_ServerApiVersionRoundTrip", ["BM_EchoRoundTrip16"], 0.90)
    time_row("text get-nb-tarvex vs echo", "BM_ServerTextRoundTrip", ["BM_EchoTextRoundTrip"], 0.90)
    time_row("pass-through block + 64 B read", "BM_ServerPassThrough64",
             ["BM_DriverPassThrough64", "BM_EchoPassThrough64"], 0.90)
    for op, driver in (("Read", "Read"), ("Write", "Write")):
        for size, label in ((1024, "1 KiB"), (65536, "64 KiB"), (1048576, "1 MiB")):
            time_row(f"text memory {op.lower()} {label}", f"BM_Server{op}Mem/{size}/real_time",
                     [f"BM_Driver{driver}Mem/{size}", f"BM_Echo{op}Mem/{size}"], 0.80 if size == 1024 else 0.90)
    for idle in (100, 1000):
        time_row(f"round trip with {idle} idle clients", f"BM_ServerWithIdleClients/{idle}/real_time",
                 ["BM_ServerWithIdleClients/0/real_time"], 1 / 1.10)
    idle = rows.get("BM_ServerWithIdleClients/1000/real_time")
    if idle is not None:
        per = idle.get("rss_per_idle_client_KiB", 0)
        table.append(("RSS per idle client (1,000)", f"{per:.1f} KiB", "64 KiB", f"{64 / per:.2f}" if per else "-",
                      "<= 64 KiB", "PASS" if per <= 64 else "BELOW"))
        table.append(("server RSS with 1,000 clients", f"{idle.get('server_rss_KiB', 0) / 1024:.1f} MiB", "", "", "",
                      "INFO"))

    repetitions = max(b["repetitions"] for b in rows.values()) if rows else 0
    if repetitions > 1:
        print(f"medians of {repetitions} runs of each benchmark, interleaved")
    header = ("row", "measured", "reference", "ratio", "goal", "")
    widths = [max(len(str(r[i])) for r in table + [header]) for i in range(len(header))]
    for r in [header] + table:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())


if __name__ == "__main__":
    main()
