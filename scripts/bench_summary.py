#!/usr/bin/env python3
"""Prints the ratio table of a benchmark run from Google Benchmark JSON files.

Each row: what is measured, the measured value, its reference (the limit,
taken in turn with the row in the same iterations: the counters measured_us
and reference_us), the ratio reference / measured, the goal, and PASS or
BELOW. Times are wall-clock. The concurrency rows compare percentiles of
per-request round trips under a load with the same on the quiet server (a
goal of 0.50: at most twice as long), and reads on N probes at once with one
read alone (N times the data in the same time is a ratio of 1). A benchmark run several
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


def fmt_time(t):
    return f"{t / 1000:.1f} us" if t < 1e6 else f"{t / 1e6:.2f} ms"


def rtt_rows(table, rows, time_row, median_info):
    """RTT capture on the fast and the 1 ms probe: throughput against its
    polls' own accesses, a line's latency against 2 ms or three command
    times, another client's register read beside a stream, and the probe
    commands per second of a quiet target."""
    for slow, probe in ((0, "fast probe"), (1, "1 ms probe")):
        name = f"BM_RttThroughput/slow:{slow}/real_time"
        time_row(f"RTT 16 KiB blocking capture vs its reads, {probe}", name, 0.70)
        row = rows.get(name)
        if row is not None and "captured_KBps" in row:
            table.append((f"  RTT captured, {probe}", f"{row['captured_KBps']:.0f} KB/s",
                          f"{row['bytes_per_poll']:.0f} B a poll, {row['polls_per_s']:.0f} polls/s", "", "", "INFO"))
        name = f"BM_RttLineLatency/slow:{slow}/real_time"
        time_row(f"RTT line latency, p99, {probe}", name, 1.0)
        row = rows.get(name)
        if row is not None and "p50_us" in row:
            table.append((f"  RTT line latency, median, {probe}", fmt_time(row["p50_us"] * 1e3),
                          f"{fmt_time(row['command_us'] * 1e3)} a command", "", "", "INFO"))
        name = f"BM_RegisterReadBesideRtt/slow:{slow}/real_time"
        time_row(f"register read beside RTT vs capture off, p99, {probe}", name, 0.50)
        median_info(f"register read beside RTT, median, {probe}", name)
        row = rows.get(name)
        if row is not None and "stream_KBps" in row:
            table.append((f"  RTT stream beside the reads, {probe}", f"{row['stream_KBps']:.0f} KB/s", "100 KB/s", "",
                          "", "INFO"))
        row = rows.get(f"BM_RttIdleCommands/slow:{slow}/real_time")
        if row is None or "commands_per_s" not in row:
            table.append((f"probe commands per s, quiet RTT target, {probe}", "missing", "", "", "<= 25", "MISSING"))
            continue
        per = row["commands_per_s"]
        table.append((f"probe commands per s, quiet RTT target, {probe}", f"{per:.1f}", "25",
                      f"{25 / per:.2f}" if per else "-", "<= 25", "PASS" if per <= 25 else "BELOW"))


def core_rows(table, rows):
    """The emulated core's instructions per CPU-second with the SysTick
    interrupting it at 1 kHz against the same loop without it."""
    plain, ticked = rows.get("BM_CoreCountLoop"), rows.get("BM_CoreCountLoopSysTick1kHz")
    label = "emulated core, SysTick at 1 kHz vs without"
    if plain is None or ticked is None or "instructions_per_cpu_s" not in plain or \
            "instructions_per_cpu_s" not in ticked:
        table.append((label, "missing", "", "", ">= 0.90", "MISSING"))
        return
    p, t = plain["instructions_per_cpu_s"], ticked["instructions_per_cpu_s"]
    ratio = t / p if p else 0
    table.append((label, f"{t / 1e6:.0f} M instr/s", f"{p / 1e6:.0f} M instr/s", f"{ratio:.2f}", ">= 0.90",
                  "PASS" if ratio >= 0.90 else "BELOW"))


def main():
    rows = load(sys.argv[1:])
    table = []

    def time_row(label, name, goal, judged=True):
        row = rows.get(name)
        if row is None or "measured_us" not in row or "reference_us" not in row:
            table.append((label, "missing", "", "", f">= {goal:.2f}", "MISSING"))
            return
        m, ref = row["measured_us"] * 1e3, row["reference_us"] * 1e3
        ratio = ref / m if m else 0
        verdict = ("PASS" if ratio >= goal else "BELOW") if judged else "INFO"
        table.append((label, fmt_time(m), fmt_time(ref), f"{ratio:.2f}", f">= {goal:.2f}" if judged else "", verdict))

    time_row("API version round trip vs echo", "BM_ApiVersionRoundTrip", 0.90)
    time_row("text get-nb-tarvex vs echo", "BM_TextRoundTrip", 0.90)
    time_row("pass-through block + 64 B read", "BM_ServerPassThrough64", 0.90)
    time_row("connect + first reply, --allow-group vs none", "BM_ConnectWithAllowGroup", 0.80)
    unix = rows.get("BM_UnixSocketRoundTrip")
    if unix is not None and "measured_us" in unix:
        table.append(("Unix socket round trip vs loopback TCP", fmt_time(unix["measured_us"] * 1e3),
                      fmt_time(unix["reference_us"] * 1e3), f"{unix.get('ratio', 0):.2f}", "", "INFO"))
    for op in ("Read", "Write"):
        for size, label in ((1024, "1 KiB"), (65536, "64 KiB"), (1048576, "1 MiB")):
            time_row(f"text memory {op.lower()} {label}", f"BM_Server{op}Mem/{size}/real_time",
                     0.80 if size == 1024 else 0.90)
    time_row("GDB load 64 KiB vs tarvex-cli write", "BM_GdbLoad64K/real_time", 0.80)
    for probe, label, goal in ((1, "fast probe", 1.0), (2, "1 ms probe", 5.0)):
        name = f"BM_GdbStepi100/{probe}/real_time"
        time_row(f"GDB 100 stepi vs before, {label}", name, goal)
        row = rows.get(name)
        if row is not None and "commands_per_stepi" in row:
            per = row["commands_per_stepi"]
            table.append((f"  probe commands per stepi, {label}", f"{per:.1f}", "10", f"{10 / per:.2f}" if per else "-",
                          "<= 10", "PASS" if per <= 10 else "BELOW"))
    time_row("GDB continue to a 10 ms breakpoint vs 10 ms", "BM_GdbContinueToBreakpoint/real_time", 0.50)
    # On the fast probes the flash rows are bound by the emulated core's clock
    # and the program's start, not by the loader: they are shown, not judged.
    for probe, label, judged in ((0, "fast probe", False), (1, "1 ms probe", True), (2, "125 us probe", True),
                                 (3, "M0, fast probe", False), (4, "M0, 1 ms probe", True)):
        time_row(f"flash 128 KiB blank vs RAM write, {label}", f"BM_FlashBlank128K/{probe}/real_time", 0.30, judged)
        time_row(f"re-flash unchanged vs read-back, {label}", f"BM_ReflashUnchanged128K/{probe}/real_time", 2.0,
                 judged)
        flash = rows.get(f"BM_FlashBlank128K/{probe}/real_time")
        if flash is not None and "commands_per_page" in flash:
            table.append((f"probe commands per flash page, {label}", f"{flash['commands_per_page']:.1f}", "", "", "",
                          "INFO"))
    time_row("GDB load into flash vs tarvex-cli flash", "BM_GdbLoadFlash128K/real_time", 0.80)
    for idle in (100, 1000):
        time_row(f"round trip with {idle} idle clients", f"BM_ServerWithIdleClients/{idle}/real_time", 1 / 1.10)
    idle = rows.get("BM_ServerWithIdleClients/1000/real_time")
    if idle is not None:
        per = idle.get("rss_per_idle_client_KiB", 0)
        table.append(("RSS per idle client (1,000)", f"{per:.1f} KiB", "64 KiB", f"{64 / per:.2f}" if per else "-",
                      "<= 64 KiB", "PASS" if per <= 64 else "BELOW"))
        table.append(("server RSS with 1,000 clients", f"{idle.get('server_rss_KiB', 0) / 1024:.1f} MiB", "", "", "",
                      "INFO"))

    time_row("round trip, page 20/s + scrape 100 ms vs no --http", "BM_RoundTripWithHttpBusy/real_time", 0.90)
    http_idle = rows.get("BM_HttpIdleConnections/real_time")
    if http_idle is not None:
        table.append(("server RSS with 1,000 idle HTTP connections",
                      f"{http_idle.get('server_rss_KiB', 0) / 1024:.1f} MiB",
                      f"{http_idle.get('rss_per_http_connection_KiB', 0):.1f} KiB each", "", "", "INFO"))

    def median_info(label, name):
        row = rows.get(name)
        if row is not None and "p50_us" in row:
            table.append((label, fmt_time(row["p50_us"] * 1e3), fmt_time(row["ref_p50_us"] * 1e3), "", "", "INFO"))

    def percentile_rows(label, name):
        time_row(f"{label}, p99", name, 0.50)
        median_info(f"{label}, median", name)

    percentile_rows("B: 4 B read, probe 2, A streaming probe 1", "BM_ProbeReadDuringStream/real_time")
    percentile_rows("get-nb-tarvex, A streaming", "BM_ProbelessDuringStream/real_time")
    percentile_rows("get-nb-tarvex, 4 non-reading clients", "BM_ProbelessWithNonReaders/real_time")
    percentile_rows("get-nb-tarvex, trickled write pending", "BM_ProbelessWithTrickledWrite/real_time")
    percentile_rows("get-nb-tarvex, probe 1 held, 10 waiting", "BM_ProbelessWhileHeld/real_time")
    percentile_rows("B: 4 B read, probe 2, probe 1 held, 10 waiting", "BM_OtherProbeReadWhileHeld/real_time")
    for n in (1, 2, 4, 8):
        name = f"BM_ReadsOnProbesAtOnce/{n}/real_time"
        row = rows.get(name)
        if row is None or "aggregate_MBps" not in row:
            table.append((f"reads on {n} probe(s) at once", "missing", "", "", ">= 0.90", "MISSING"))
            continue
        ratio = row["reference_us"] / row["measured_us"] if row["measured_us"] else 0
        table.append((f"reads on {n} probe(s) at once", f"{row['aggregate_MBps']:.2f} MB/s",
                      f"{n * row['one_probe_MBps']:.2f} MB/s", f"{ratio:.2f}", ">= 0.90",
                      "PASS" if ratio >= 0.90 else "BELOW"))

    for slow, probe in ((0, "fast probe"), (1, "1 ms probe")):
        name = f"BM_SemihostWrite0/slow:{slow}/iterations:1/real_time"
        time_row(f"semihosting SYS_WRITE0 per call, {probe}", name, 0.50)
        row = rows.get(name)
        if row is not None and "trips_per_call" in row:
            table.append((f"  requests per call, {probe}", f"{row['trips_per_call']:.2f}",
                          fmt_time(row["register_read_us"] * 1e3) + " each", "", "", "INFO"))
        time_row(f"register read beside a semihosting run, {probe}", f"BM_OtherClientBesideARun/slow:{slow}/real_time",
                 0.50)

    for lib, arg in (("newlib", 0), ("picolibc", 1)):
        row = rows.get(f"BM_LibcPrintfLines/picolibc:{arg}/iterations:1/real_time")
        if row is None or "per_line_ms" not in row:
            table.append((f"printf line through {lib}, 1 ms probe", "missing", "", "", "", "MISSING"))
            continue
        table.append((f"printf line through {lib}, 1 ms probe", fmt_time(row["per_line_ms"] * 1e6),
                      f"{row['calls_per_line']:.1f} calls, {row['requests_per_call']:.1f} requests each", "", "",
                      "INFO"))

    rtt_rows(table, rows, time_row, median_info)
    core_rows(table, rows)

    waited = rows.get("BM_EchoAfterWork/300")
    if waited is not None and "measured_us" in waited:
        table.append(("echo after 300 us of work, less it", fmt_time(waited["measured_us"] * 1e3),
                      fmt_time(waited["reference_us"] * 1e3), "", "", "INFO"))

    repetitions = max(b["repetitions"] for b in rows.values()) if rows else 0
    if repetitions > 1:
        print(f"medians of {repetitions} runs of each benchmark, interleaved")
    header = ("row", "measured", "reference", "ratio", "goal", "")
    widths = [max(len(str(r[i])) for r in table + [header]) for i in range(len(header))]
    for r in [header] + table:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())


if __name__ == "__main__":
    main()
