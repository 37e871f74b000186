#!/usr/bin/env python3
"""The table of scripts/bench: each figure beside its baseline from the same
run, their ratio and the goal it should meet.

Input: Google Benchmark JSON files (--benchmark_format=json, with
--benchmark_report_aggregates_only=true: the median of the repetitions is
used; a file without aggregates gives its single runs). Output: the table on
standard output and the same rows as JSON.

Usage: bench_table.py [--strict] [--compare EARLIER.json] --json OUT.json
                      RESULT.json...
With --compare, a second table sets each row beside the same row of an
earlier table's JSON (another commit, measured on the same machine): its
value then and now, now / then, and both ratios.
Exit status: 0; 1 when a benchmark reported an error (with --strict also
when a goal is missed); 2 on bad input.
"""

import argparse
import json
import os
import re
import sys

# Figure and baseline pairs with their goals. `figure` is a regular
# expression over case names (the binary's own name first: "ipc_bench:");
# `baseline` is the baseline's name, with \1... taken from the figure's groups
# (always from the same binary, so from the same run); `baseline_metric`, when
# given, is what is read from the baseline (a counter of the same case, say),
# else `metric`. `metric`:
#   rate     items per second ("items/s"), or runs per second ("runs/s") when
#            the case counts no items: higher is better
#   p99_ns   the counter of that name: lower is better
#   real_ms  the case's real time per iteration, in milliseconds
#   rss_kib, private_dirty_kib, stripped_kib
#            counters of the footprint benchmark (KiB)
# `goal` is the bound on the ratio figure / baseline, or with "abs" in front
# on the figure itself ("abs<=30": at most 30 of the metric's unit); "-": no
# goal. A case that no rule names is listed on its own, without baseline or
# goal.
RULES = [
    # dispatch_bench: the event path beside the bare hand-off and ZeroMQ.
    {"figure": r"dispatch_bench:records/core", "baseline": "records/handoff", "metric": "rate", "goal": ">=0.9"},
    {"figure": r"dispatch_bench:records/core", "baseline": "records/zmq", "metric": "rate", "goal": ">=1.0"},
    {"figure": r"dispatch_bench:video64k/core", "baseline": "video64k/handoff", "metric": "rate", "goal": ">=0.95"},
    {"figure": r"dispatch_bench:video64k/core", "baseline": "video64k/zmq", "metric": "rate", "goal": ">=1.0"},
    # The latency goal is judged against the hand-off samples taken in turn
    # with the core's (the same case's handoff_p99_ns); the hand-off run
    # alone, minutes apart, is shown for reference.
    {"figure": r"dispatch_bench:latency/core", "baseline": "latency/core", "baseline_metric": "handoff_p99_ns",
     "metric": "p99_ns", "goal": "<=1.0"},
    {"figure": r"dispatch_bench:latency/core", "baseline": "latency/handoff", "metric": "p99_ns", "goal": "-"},
    {"figure": r"dispatch_bench:search/core", "baseline": "search/live", "metric": "rate", "goal": "-"},
    # ipc_bench: the daemon link beside a plain socket pair.
    {"figure": r"ipc_bench:(ipc_\w+/\d+)/core", "baseline": r"\1/socketpair", "metric": "rate", "goal": ">=0.8"},
    # crypto_bench: the service through `post` beside bare OpenSSL.
    {"figure": r"crypto_bench:ServiceTransform/(\d+)", "baseline": r"OpenSslCbcEncrypt/\1", "metric": "rate", "goal": ">=0.8"},
    {"figure": r"crypto_bench:ServiceTransformBack/(\d+)", "baseline": r"OpenSslCbcDecrypt/\1", "metric": "rate", "goal": ">=0.8"},
    # status_bench, memory_bench: no goal, the ratio shows the overhead.
    {"figure": r"status_bench:status/core/(\d+)", "baseline": r"status/syncwrite/\1", "metric": "rate", "goal": "-"},
    {"figure": r"memory_bench:memory/reading", "baseline": "memory/statm_read", "metric": "rate", "goal": "-"},
    # lifecycle_bench: the demo plug-ins and 32 plug-ins beside empty plug-in
    # folders; 32 plug-ins start within 30 ms and stop within 50 ms.
    {"figure": r"lifecycle_bench:Lifecycle/(\w+)_DemoPlugins", "baseline": r"Lifecycle/\1_EmptyFolders", "metric": "real_ms", "goal": "-"},
    {"figure": r"lifecycle_bench:Lifecycle/(StartupToDispatch)_32Plugins", "baseline": r"Lifecycle/\1_EmptyFolders", "metric": "real_ms", "goal": "abs<=30"},
    {"figure": r"lifecycle_bench:Lifecycle/(SigtermToExit)_32Plugins", "baseline": r"Lifecycle/\1_EmptyFolders", "metric": "real_ms", "goal": "abs<=50"},
    # footprint_bench: the idle core with its log plug-in beside a minimal
    # program on the same libraries.
    {"figure": r"footprint_bench:Footprint/IdleWithLogPI", "baseline": "Footprint/FloorProgram", "metric": "rss_kib", "goal": "abs<=4608"},
    {"figure": r"footprint_bench:Footprint/IdleWithLogPI", "baseline": "Footprint/FloorProgram", "metric": "private_dirty_kib", "goal": "abs<=1024"},
    {"figure": r"footprint_bench:Footprint/IdleWithLogPI", "baseline": "Footprint/FloorProgram", "metric": "stripped_kib", "goal": "abs<=1536"},
]

# Decorations Google Benchmark appends to a case's name.
_SUFFIX = re.compile(r"(/(real_time|manual_time|process_time|iterations:\d+|repeats:\d+|threads:\d+|min_time:[0-9.]+))+$")
_TIME_UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def case_name(entry):
    return _SUFFIX.sub("", entry.get("run_name") or entry["name"])


def load_cases(binary, document):
    """{case name: entry} of one binary's JSON, the median aggregates if any."""
    benchmarks = document.get("benchmarks", [])
    has_aggregates = any(b.get("run_type") == "aggregate" for b in benchmarks)
    cases = {}
    for entry in benchmarks:
        name = case_name(entry)
        if entry.get("error_occurred"):
            cases[name] = entry
        elif has_aggregates:
            if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") == "median":
                cases[name] = entry
        elif entry.get("run_type", "iteration") == "iteration":
            cases.setdefault(name, entry)
    return {f"{binary}:{name}": entry for name, entry in cases.items()}


def metric_value(entry, metric):
    if entry.get("error_occurred"):
        return None
    if metric == "rate":
        if "items_per_second" in entry:
            return float(entry["items_per_second"])
        real_ns = float(entry["real_time"]) * _TIME_UNIT_NS.get(entry.get("time_unit", "ns"), 1.0)
        return 1e9 / real_ns if real_ns > 0 else None
    if metric == "real_ms":
        return float(entry["real_time"]) * _TIME_UNIT_NS.get(entry.get("time_unit", "ns"), 1.0) / 1e6
    value = entry.get(metric)
    return float(value) if value is not None else None


def goal_met(ratio, goal, value=None):
    if goal == "-":
        return None
    match = re.fullmatch(r"(abs)?(>=|<=)([0-9.]+)", goal)
    if not match:
        raise ValueError(f"bad goal {goal!r}")
    judged = value if match.group(1) else ratio
    if judged is None:
        return None
    bound = float(match.group(3))
    return judged >= bound if match.group(2) == ">=" else judged <= bound


def build_rows(cases, rules=RULES):
    """One row per rule whose figure was run, then one per case no rule named."""
    rows = []
    named = set()
    for rule in rules:
        pattern = re.compile(rule["figure"])
        for key in sorted(cases):
            match = pattern.fullmatch(key)
            if not match:
                continue
            binary = key.split(":", 1)[0]
            baseline_key = f"{binary}:{match.expand(rule['baseline'])}"
            figure = cases[key]
            baseline = cases.get(baseline_key)
            named.update({key, baseline_key})
            value = metric_value(figure, rule["metric"])
            base_metric = rule.get("baseline_metric", rule["metric"])
            base_value = metric_value(baseline, base_metric) if baseline else None
            if baseline and base_metric != rule["metric"]:
                # A counter of the figure's own case: named by the counter.
                baseline_key = f"{baseline_key}:{base_metric}"
            ratio = value / base_value if value is not None and base_value else None
            rows.append(row(key, figure, rule["metric"], value, baseline_key if baseline else None,
                            base_value, ratio, rule["goal"], baseline))
    for key in sorted(set(cases) - named):
        rows.append(row(key, cases[key], "rate", metric_value(cases[key], "rate"), None, None, None, "-"))
    return rows


def row(key, entry, metric, value, baseline, base_value, ratio, goal, baseline_entry=None):
    return {
        "figure": key,
        "metric": metric_label(entry, metric),
        "value": value,
        "baseline": baseline,
        "baseline_value": base_value,
        "ratio": ratio,
        "goal": goal,
        "met": goal_met(ratio, goal, value),
        "recv_cpu_ns": entry.get("recv_cpu_ns"),
        "baseline_recv_cpu_ns": baseline_entry.get("recv_cpu_ns") if baseline_entry else None,
        "error": entry.get("error_message") if entry.get("error_occurred") else None,
    }


def human(value, metric):
    if value is None:
        return "-"
    if metric == "p99_ns":
        return f"{value / 1e3:.1f}us"
    if metric == "real_ms":
        return f"{value:.1f}ms"
    if metric.endswith("_kib"):
        return f"{value:.0f}KiB"
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if value >= scale:
            return f"{value / scale:.2f}{unit}/s"
    return f"{value:.1f}/s"


def metric_label(entry, metric):
    """What the value counts: items a second, runs a second or a counter."""
    if metric != "rate":
        return metric
    return "items" if entry and "items_per_second" in entry else "runs"


def cpu(figure, baseline):
    if figure is None:
        return "-"
    return f"{figure:.0f}" + ("" if baseline is None else f" ({baseline:.0f})")


def met_text(met):
    return "-" if met is None else ("yes" if met else "NO")


def metric_text(metric):
    return metric + ("/s" if metric in ("items", "runs") else "")


def short_name(key):
    """A case's name without its program, "-" for none."""
    return key.split(":", 1)[1] if key else "-"


def ratio_text(value):
    return "-" if value is None else f"{value:.3f}"


def layout(header, lines):
    """Columns padded to their widest cell, a rule under the header."""
    widths = [max(len(str(x)) for x in column) for column in zip(header, *lines)]
    out = []
    for cells in [header, ["-" * w for w in widths]] + lines:
        out.append("  ".join(str(c).ljust(w) for c, w in zip(cells, widths)).rstrip())
    return "\n".join(out)


def render(rows):
    header = ["figure", "metric", "measured", "baseline", "baseline value", "ratio", "goal", "met",
              "recv_cpu_ns (baseline)"]
    lines = []
    for r in rows:
        met = "ERROR: " + r["error"] if r["error"] else met_text(r["met"])
        lines.append([
            r["figure"], metric_text(r["metric"]), human(r["value"], r["metric"]), short_name(r["baseline"]),
            human(r["baseline_value"], r["metric"]), ratio_text(r["ratio"]),
            r["goal"], met, cpu(r["recv_cpu_ns"], r["baseline_recv_cpu_ns"]),
        ])
    return layout(header, lines)


def compare(earlier_rows, rows):
    """Rows of this run beside the same rows (figure, baseline, metric) of an
    earlier run; rows that only one of the runs has are listed too."""
    def key(r):
        return (r["figure"], r["baseline"], r["metric"])
    then = {key(r): r for r in earlier_rows}
    pairs = [(then.get(key(r)), r) for r in rows]
    now_keys = {key(r) for r in rows}
    pairs += [(r, None) for r in earlier_rows if key(r) not in now_keys]
    out = []
    for before, after in pairs:
        known = after or before
        value_before = before["value"] if before else None
        value_after = after["value"] if after else None
        out.append({
            "figure": known["figure"],
            "baseline": known["baseline"],
            "metric": known["metric"],
            "before": value_before,
            "after": value_after,
            "change": value_after / value_before if value_before and value_after is not None else None,
            "ratio_before": before["ratio"] if before else None,
            "ratio_after": after["ratio"] if after else None,
            "goal": known["goal"],
            "met_before": before["met"] if before else None,
            "met_after": after["met"] if after else None,
        })
    return out


def describe(context):
    keys = ("commit", "changes", "host", "cpus", "repetitions", "filter")
    return ", ".join(f"{k} {context[k]}" for k in keys if context.get(k) not in (None, ""))


def render_comparison(pairs):
    header = ["figure", "baseline", "metric", "before", "after", "after/before", "ratio before", "ratio after",
              "goal", "met before", "met after"]
    lines = [[
        p["figure"], short_name(p["baseline"]), metric_text(p["metric"]),
        human(p["before"], p["metric"]), human(p["after"], p["metric"]), ratio_text(p["change"]),
        ratio_text(p["ratio_before"]), ratio_text(p["ratio_after"]), p["goal"],
        met_text(p["met_before"]), met_text(p["met_after"]),
    ] for p in pairs]
    return layout(header, lines)


def main(argv):
    parser = argparse.ArgumentParser(description="figures beside their baselines, from Google Benchmark JSON files")
    parser.add_argument("--json", required=True, help="where to write the table as JSON")
    parser.add_argument("--strict", action="store_true", help="a missed goal fails too")
    parser.add_argument("--context", default="{}", help="JSON object stored with the rows (commit, host, ...)")
    parser.add_argument("--compare", help="an earlier run's JSON (this script's): print both side by side")
    parser.add_argument("results", nargs="+", help="one JSON file per benchmark binary, named <binary>.json")
    args = parser.parse_args(argv)

    cases = {}
    contexts = {}
    for path in args.results:
        binary = os.path.basename(path).removesuffix(".json")
        try:
            with open(path, encoding="utf-8") as f:
                document = json.load(f)
        except (OSError, json.JSONDecodeError) as error:
            print(f"bench: {path}: {error}", file=sys.stderr)
            return 2
        contexts[binary] = document.get("context", {})
        cases.update(load_cases(binary, document))

    earlier = None
    if args.compare:
        try:
            with open(args.compare, encoding="utf-8") as f:
                earlier = json.load(f)
        except (OSError, json.JSONDecodeError) as error:
            print(f"bench: {args.compare}: {error}", file=sys.stderr)
            return 2

    rows = build_rows(cases)
    print(render(rows))
    result = {"context": json.loads(args.context), "benchmark_context": contexts, "rows": rows}
    if earlier is not None:
        pairs = compare(earlier.get("rows", []), rows)
        print(f"\nBefore: {describe(earlier.get('context', {}))}\nAfter:  {describe(result['context'])}\n")
        print(render_comparison(pairs))
        result["compared_with"] = {"context": earlier.get("context", {}), "rows": pairs}
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump(result, f, indent=2, allow_nan=False, default=lambda x: None)
        f.write("\n")

    errors = [r for r in rows if r["error"]]
    missed = [r for r in rows if r["met"] is False]
    unpaired = [r for r in rows if r["goal"] not in ("-",) and not r["goal"].startswith("abs")
                and r["ratio"] is None and not r["error"]]
    for r in unpaired:
        print(f"bench: {r['figure']}: its baseline did not run", file=sys.stderr)
    print(f"\n{len(rows)} figure(s); {sum(1 for r in rows if r['met'])} goal(s) met, {len(missed)} missed, "
          f"{len(errors)} error(s). JSON: {args.json}")
    return 1 if errors or (args.strict and missed) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
