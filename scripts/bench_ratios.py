#!/usr/bin/env python3
"""Prints the ratio table of a kel_database_bench run from its JSON output
(--benchmark_out_format=json). With repetitions, each benchmark is represented
by its fastest repetition (the "min" aggregate): on a machine shared with
other work, interference only ever adds time.

Statement workloads compare CPU time (all of their work runs on the calling
thread); dispatch and churn compare wall-clock time (their work runs on the
service thread)."""
import json
import re
import sys


def representatives(path, statistic="min"):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    by_name = {}
    for run in runs:
        if run.get("error_occurred"):
            print(f"error in {run['name']}: {run.get('error_message')}", file=sys.stderr)
            continue
        # Settings that Google Benchmark appends to a name are not part of it.
        name = re.sub(r"/(real_time|min_time:[^/]*|repeats:[^/]*)", "", run.get("run_name", run["name"]))
        aggregate = run.get("aggregate_name")
        if aggregate == statistic or (aggregate is None and name not in by_name):
            by_name[name] = run  # a single run stands for itself
    return by_name


def ns(run, key):
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[run["time_unit"]]
    return run[key] * scale


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "build/bench/results.json"
    fastest = representatives(path)
    medians = representatives(path, "median")
    rows = []

    def ratio(label, num, den, key, target=None, runs=fastest):
        if num not in runs or den not in runs:
            return
        value = ns(runs[num], key) / ns(runs[den], key)
        verdict = "" if target is None else ("ok" if value <= target else "OVER")
        rows.append((label, f"{value:.3f}", "" if target is None else f"<= {target}", verdict))

    for workload in ("insert", "scan", "lookup"):
        kel = f"BM_{workload}/kel_database"
        ratio(f"{workload}: kel_database / independent floor", kel, f"BM_{workload}/independent_floor", "cpu_time",
              1.05)
        ratio(f"{workload}: kel_database / copied floor", kel, f"BM_{workload}/floor", "cpu_time", 1.0)
        ratio(f"{workload}: kel_database / raw", kel, f"BM_{workload}/raw", "cpu_time")
        ratio(f"{workload}: kel_database / SQLiteCpp", kel, f"BM_{workload}/SQLiteCpp", "cpu_time")
    # A dispatch round's time is bimodal: now and then the producers outrun
    # the worker, which then never sleeps and the round takes a fraction of
    # its usual time. The fastest of 25 repetitions may be such a round for
    # one variant and not for another, so the medians are shown as well.
    for statistic, runs in (("fastest", fastest), ("median", medians)):
        for producers in (1, 4):
            suffix = f"producers:{producers}"
            threads = f"{producers} thread{'s' if producers > 1 else ''}"
            kel, asio, floor = (f"BM_dispatch/{variant}/{suffix}" for variant in ("kel_database", "asio", "floor"))
            ratio(f"dispatch ({statistic}), {threads}: kel_database / floor", kel, floor, "real_time", 1.2, runs)
            ratio(f"dispatch ({statistic}), {threads}: kel_database / asio", kel, asio, "real_time", None, runs)
            ratio(f"dispatch ({statistic}), {threads}: floor / asio", floor, asio, "real_time", None, runs)
            ratio(f"dispatch ({statistic}), {threads}, file=__FILE__: kel_database / asio",
                  f"BM_dispatch/kel_database_long_path/{suffix}", asio, "real_time", None, runs)
    # Per object: the run's time over its N.
    for big in (10000, 100000):
        num, den = f"BM_churn/kel_database/{big}", "BM_churn/kel_database/1000"
        if num in fastest and den in fastest:
            value = (ns(fastest[num], "real_time") / big) / (ns(fastest[den], "real_time") / 1000)
            target = 1.5 if big == 100000 else None
            rows.append((f"churn: per object at {big} / at 1000", f"{value:.3f}",
                         "" if target is None else f"<= {target}",
                         "" if target is None else ("ok" if value <= target else "OVER")))
    # kel_sql's scripts: linear in their length, however they are laid out.
    one, per, raw = (f"BM_script/{variant}/40000" for variant in ("kel_sql_one_line", "kel_sql_per_line", "raw"))
    ratio("script, 40000 statements: one line / one per line", one, per, "cpu_time", 1.5)
    small = "BM_script/kel_sql_one_line/5000"
    if one in fastest and small in fastest:
        value = (ns(fastest[one], "cpu_time") / 40000) / (ns(fastest[small], "cpu_time") / 5000)
        rows.append(("script, one line: per statement at 40000 / at 5000", f"{value:.3f}", "<= 1.5",
                     "ok" if value <= 1.5 else "OVER"))
    ratio("script, 40000 statements on one line: kel_sql / raw", one, raw, "cpu_time")
    big, small = "BM_script/kel_sql_trigger/40000", "BM_script/kel_sql_trigger/5000"
    if big in fastest and small in fastest:
        value = (ns(fastest[big], "cpu_time") / 40000) / (ns(fastest[small], "cpu_time") / 5000)
        rows.append(("script, a trigger of N lines: per statement at 40000 / at 5000", f"{value:.3f}", "<= 1.5",
                     "ok" if value <= 1.5 else "OVER"))
    # Encryption (a build on SQLCipher): the same workloads on database files,
    # keyed against unkeyed, with SQLite's default pages and with the 1024-byte
    # pages SQLCipher 3 gives a keyed file.
    for workload in ("insert", "scan", "lookup"):
        enc = f"BM_file_{workload}/encrypted"
        ratio(f"file {workload}: encrypted / plain", enc, f"BM_file_{workload}/plain", "cpu_time")
        ratio(f"file {workload}: encrypted / plain, 1024-byte pages", enc, f"BM_file_{workload}/plain_page_1024",
              "cpu_time")
    if not rows:
        print("no results to compare", file=sys.stderr)
        return 1

    width = max(len(r[0]) for r in rows)
    print(f"{'ratio':<{width}}  {'value':>7}  {'target':>7}")
    for label, value, target, verdict in rows:
        print(f"{label:<{width}}  {value:>7}  {target:>7}  {verdict}".rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
