#!/usr/bin/python3
"""Prints the benchmark results (Google Benchmark JSON files) as one table,
with the machine they ran on at the top."""

import json
import os
import platform
import sys


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def number(value, unit=""):
    if value >= 1e9:
        return f"{value / 1e9:.2f} G{unit}"
    if value >= 1e6:
        return f"{value / 1e6:.2f} M{unit}"
    if value >= 1e3:
        return f"{value / 1e3:.1f} k{unit}"
    return f"{value:.3g} {unit}".strip()


def load(paths):
    results = {}
    for path in paths:
        with open(path) as f:
            for bench in json.load(f)["benchmarks"]:
                if bench.get("error_occurred"):
                    print(f"{bench['name']}: {bench.get('error_message')}", file=sys.stderr)
                    continue
                results[bench["name"].split("/")[0]] = bench
                # Benchmarks with arguments are told apart by them too.
                results[bench["name"].split("/iterations")[0]] = bench
    return results


def main(paths):
    r = load(paths)
    rows = []

    def row(what, figure, target=""):
        rows.append((what, figure, target))

    if "BM_Parser" in r:
        parser = r["BM_Parser"]["bytes_per_second"]
        per_byte = r["BM_CopyPerByteCall"]["bytes_per_second"]
        memcpy = r["BM_CopyMemcpy"]["bytes_per_second"]
        row("1 parser, realistic stream", f"{number(parser, 'B/s')}, {number(r['BM_Parser']['samples/s'])} samples/s")
        row("  copy, one call per byte (ceiling)", number(per_byte, "B/s"))
        row("  parser / per-byte copy", f"{parser / per_byte:.2f}", ">= 0.25")
        row("  memcpy (for scale)", f"{number(memcpy, 'B/s')} (parser {parser / memcpy:.4f} of it)")
    if "BM_AssemblyAndDelivery" in r:
        b = r["BM_AssemblyAndDelivery"]
        row("2 assembly + delivery, one idle consumer", f"{b['cpu_time']:.1f} ns/sample")
    if "BM_LibraryWorkerPath" in r:
        b = r["BM_LibraryWorkerPath"]
        row("3 worker path, library alone (memory transport)",
            f"{number(b['samples/cpu-s'])} samples per CPU-second ({number(b['samples/s'])}/s wall)")
    if "BM_EndToEndFastHeadset" in r:
        b = r["BM_EndToEndFastHeadset"]
        link = 921600 / 10 / 59 * 5
        row("3 end to end, libondira.so + virtual headset, one core",
            f"{number(b['samples/cpu-s'])} samples per CPU-second ({number(b['samples/s'])}/s wall)", ">= 1 M")
        row("  ... / fastest real link (7,810 samples/s)", f"{b['samples/cpu-s'] / link:.0f} x")
    if "BM_LibraryWorkerPath" in r and "allocs/sample" in r["BM_LibraryWorkerPath"]:
        row("4 heap allocations per sample, library", f"{r['BM_LibraryWorkerPath']['allocs/sample']:.4f}", "0")
    if "BM_EndToEndFastHeadset" in r and "allocs/sample" in r["BM_EndToEndFastHeadset"]:
        row("4 ... library + virtual headset", f"{r['BM_EndToEndFastHeadset']['allocs/sample']:.4f}", "0")
    if "BM_NominalRate" in r:
        b = r["BM_NominalRate"]
        row("5 at 250 samples/s: CPU of the process", f"{b['cpu %']:.3f} % of one core", "< 0.5 %")
        row("  worker wake-ups", f"{b['wakeups/s']:.1f} /s")
        row("  delay, queue to consumer (p50 / p99 / max)",
            f"{b['delay p50 ms']:.1f} / {b['delay p99 ms']:.1f} / {b['delay max ms']:.1f} ms", "<= poll (100 ms) + a few")
        row("  samples delivered", f"{b['samples/s']:.1f} /s")

    for per_push, how in ((25, "bursts of 25 (as delivered)"), (1, "a push per sample")):
        for inlets in (1, 10):
            b = r.get(f"BM_LslOutlet/inlets:{inlets}/per_push:{per_push}")
            if b is None:
                continue
            row(f"6 LSL outlet at 250 samples/s, {how}, {inlets} inlet{'s' if inlets > 1 else ''}: CPU",
                f"{b['outlet cpu %']:.3f} % of one core", "< 0.5 %" if inlets == 1 else "")
            row("  delay, push to inlet (p50 / p99 / max)",
                f"{b['delay p50 ms']:.2f} / {b['delay p99 ms']:.2f} / {b['delay max ms']:.2f} ms", "p99 < 2 ms")

    print(f"CPU: {cpu_model()}, {os.cpu_count()} cores; {platform.system()} {platform.release()}")
    width = max(len(w) for w, _, _ in rows)
    fwidth = max(len(f) for _, f, _ in rows)
    print(f"{'measure':<{width}}  {'result':<{fwidth}}  target")
    print(f"{'-' * width}  {'-' * fwidth}  ------")
    for what, figure, target in rows:
        print(f"{what:<{width}}  {figure:<{fwidth}}  {target}")


if __name__ == "__main__":
    main(sys.argv[1:])
