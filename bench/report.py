#!/usr/bin/env python3
"""Turns the results directory that bench/run.sh fills into markdown.

    report.py RESULTS_DIR

MB is 10^6 bytes, MiB 2^20. Wall times are hyperfine's medians (CPU time is
its mean of user + system, a check on runs disturbed by other load); the in-memory
rates are Google Benchmark's medians over its repetitions, per CPU second.
"""

import json
import os
import sys

MIB = 1 << 20
TARGETS = {"rewrite": 1.5, "japanese": 3.0}
RSS_LIMIT_KIB = 16 * 1024
CONVERTER_TARGET = 1e9


def read(path):
    return open(path).read() if os.path.exists(path) else ""


def rows(results):
    out = []
    for line in read(os.path.join(results, "rows.tsv")).splitlines():
        group, label, input_name, size, json_path, rss = line.split("\t")
        h = json.load(open(os.path.join(results, os.path.basename(json_path))))["results"][0]
        out.append({"group": group, "label": label, "input": input_name, "size": int(size),
                    "median": h["median"], "min": min(h["times"]), "max": max(h["times"]),
                    "cpu": h["user"] + h["system"], "runs": len(h["times"]), "rss_kib": int(rss)})
    return out


def program_table(measured):
    print("| command | input | size | median wall | min–max | CPU (user+sys) | throughput | × cat | peak RSS |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for r in measured:
        cat = next(c for c in measured if c["group"] == r["group"] and c["label"] == "cat")
        print(f"| `{r['label']}` | {r['input']} | {r['size'] / MIB:.0f} MiB | {r['median']:.3f} s "
              f"| {r['min']:.2f}–{r['max']:.2f} s | {r['cpu']:.3f} s | {r['size'] / r['median'] / 1e6:.0f} MB/s "
              f"| {r['median'] / cat['median']:.2f} | {r['rss_kib'] / 1024:.1f} MiB |")


def gbench(results, name):
    path = os.path.join(results, name)
    if not os.path.exists(path):
        return {}
    data = json.load(open(path))
    return {b["run_name"]: b for b in data["benchmarks"] if b.get("aggregate_name") == "median"}


def gbench_table(results):
    print("| benchmark | median CPU time | throughput |")
    print("|---|---:|---:|")
    for name in ("nkf32.json", "rewrite.json"):
        for run, b in gbench(results, name).items():
            print(f"| `{run}` | {b['cpu_time']:.1f} {b['time_unit']} | {b['bytes_per_second'] / 1e6:.0f} MB/s |")


def verdict(ok):
    return "met" if ok else "**missed**"


def targets(measured, results):
    def find(group, label):
        return next((r for r in measured if r["group"] == group and r["label"] == label), None)

    def ratio(group, label):
        r, cat = find(group, label), find(group, "cat")
        return r["median"] / cat["median"] if r and cat else None

    rw = ratio("rewrite", "quillet")
    if rw is not None:
        print(f"- rewrite ≤ {TARGETS['rewrite']}× cat: {rw:.2f}× — {verdict(rw <= TARGETS['rewrite'])}")
    conv = gbench(results, "nkf32.json").get("BM_NkfConvertPerPiece")
    if conv:
        rate = conv["bytes_per_second"]
        print(f"- converter ≥ 1 GB/s per 255-byte piece: {rate / 1e9:.2f} GB/s — {verdict(rate >= CONVERTER_TARGET)}")
    ja = ratio("japanese", "quillet -e")
    if ja is not None:
        print(f"- `quillet -e` ≤ {TARGETS['japanese']}× cat: {ja:.2f}× — {verdict(ja <= TARGETS['japanese'])}")
    quillets = [r for r in measured if r["label"].startswith("quillet")]
    if quillets:
        peak = max(r["rss_kib"] for r in quillets)
        print(f"- peak RSS ≤ 16 MiB: at most {peak / 1024:.1f} MiB — {verdict(peak <= RSS_LIMIT_KIB)}")
    plain = [r for r in quillets if r["label"] == "quillet"]
    if len(plain) > 1:
        sizes = ", ".join(f"{r['rss_kib'] / 1024:.1f} MiB at {r['size'] / MIB:.0f} MiB" for r in plain)
        spread = max(r["rss_kib"] for r in plain) - min(r["rss_kib"] for r in plain)
        print(f"- RSS independent of input size: {sizes} — {verdict(spread <= 512)}")
    checks = read(os.path.join(results, "checks.md"))
    if checks:
        print(f"- every output complete: {verdict('INCOMPLETE' not in checks)}")


def main():
    results = sys.argv[1]
    measured = rows(results)
    runs = sorted({r["runs"] for r in measured})
    print("## Machine\n")
    print(read(os.path.join(results, "machine.md")))
    print(f"## Whole program (hyperfine, page cache warm, {'/'.join(map(str, runs))} runs after 1 warm-up)\n")
    program_table(measured)
    print("\n## In memory (Google Benchmark, median of 5 repetitions)\n")
    gbench_table(results)
    print("\n## Completeness (got / expected from the generator's summary)\n")
    print("| run | bytes | lines | delimiter lines | result |")
    print("|---|---:|---:|---:|---|")
    print(read(os.path.join(results, "checks.md")), end="")
    print()
    print(read(os.path.join(results, "oracle.md")), end="")
    print(read(os.path.join(results, "generated.md")), end="")
    print("\n## Targets\n")
    targets(measured, results)


if __name__ == "__main__":
    main()
