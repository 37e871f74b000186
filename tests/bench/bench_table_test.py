#!/usr/bin/env python3
"""scripts/bench_table.py: figures paired with their baselines from the same
program, medians taken, goals judged, broken cases reported."""

import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import bench_table  # noqa: E402


def aggregate(name, aggregate_name, items=None, **extra):
    entry = {"name": f"{name}_{aggregate_name}", "run_name": name, "run_type": "aggregate",
             "aggregate_name": aggregate_name, "real_time": 1000.0, "time_unit": "us"}
    if items is not None:
        entry["items_per_second"] = items
    entry.update(extra)
    return entry


class BenchTable(unittest.TestCase):
    def rows(self, **documents):
        cases = {}
        for binary, benchmarks in documents.items():
            cases.update(bench_table.load_cases(binary, {"benchmarks": benchmarks}))
        return {(r["figure"], r["baseline"]): r for r in bench_table.build_rows(cases)}

    def test_figures_pair_with_the_same_programs_baselines_by_median(self):
        rows = self.rows(
            ipc_bench=[aggregate("ipc_in/4096/core/real_time", "mean", 1.0),
                       aggregate("ipc_in/4096/core/real_time", "median", 90.0, recv_cpu_ns=5.0),
                       aggregate("ipc_in/4096/socketpair/real_time", "median", 100.0, recv_cpu_ns=4.0)],
            dispatch_bench=[aggregate("ipc_in/4096/socketpair/real_time", "median", 1.0)])
        row = rows[("ipc_bench:ipc_in/4096/core", "ipc_bench:ipc_in/4096/socketpair")]
        self.assertAlmostEqual(row["ratio"], 0.9)
        self.assertTrue(row["met"])
        self.assertEqual((row["recv_cpu_ns"], row["baseline_recv_cpu_ns"]), (5.0, 4.0))
        # The other program's case of the same name stands alone.
        self.assertIsNone(rows[("dispatch_bench:ipc_in/4096/socketpair", None)]["ratio"])

    def test_goals_are_judged_in_their_direction(self):
        rows = self.rows(dispatch_bench=[
            aggregate("latency/core/iterations:20000/manual_time", "median", p99_ns=120.0, handoff_p99_ns=100.0),
            aggregate("latency/handoff/iterations:20000/manual_time", "median", p99_ns=200.0),
            aggregate("records/core/real_time", "median", 80.0),
            aggregate("records/handoff/real_time", "median", 100.0)])
        # Latency is judged against the hand-off samples of its own case, the
        # separate hand-off case only shown.
        interleaved = rows[("dispatch_bench:latency/core", "dispatch_bench:latency/core:handoff_p99_ns")]
        self.assertEqual((interleaved["baseline_value"], interleaved["met"]), (100.0, False))
        self.assertIsNone(rows[("dispatch_bench:latency/core", "dispatch_bench:latency/handoff")]["met"])
        self.assertFalse(rows[("dispatch_bench:records/core", "dispatch_bench:records/handoff")]["met"])
        # No ZeroMQ in this build: the row is there, without a ratio.
        self.assertIsNone(rows[("dispatch_bench:records/core", None)]["ratio"])

    def test_absolute_goals_judge_the_figure_itself(self):
        cases = {}
        cases.update(bench_table.load_cases("lifecycle_bench", {"benchmarks": [
            dict(aggregate("Lifecycle/StartupToDispatch_32Plugins/manual_time", "median"), real_time=25.0, time_unit="ms"),
            dict(aggregate("Lifecycle/StartupToDispatch_EmptyFolders/manual_time", "median"), real_time=5.0, time_unit="ms"),
            dict(aggregate("Lifecycle/SigtermToExit_32Plugins/manual_time", "median"), real_time=0.06, time_unit="s")]}))
        cases.update(bench_table.load_cases("footprint_bench", {"benchmarks": [
            aggregate("Footprint/IdleWithLogPI", "median", rss_kib=4700.0, private_dirty_kib=300.0, stripped_kib=433.0),
            aggregate("Footprint/FloorProgram", "median", rss_kib=2800.0, private_dirty_kib=224.0)]}))
        met = {(r["figure"].split(":")[1], r["metric"]): r["met"] for r in bench_table.build_rows(cases)}
        self.assertEqual(met[("Lifecycle/StartupToDispatch_32Plugins", "real_ms")], True)   # 25 ms, 5 times its baseline
        self.assertEqual(met[("Lifecycle/SigtermToExit_32Plugins", "real_ms")], False)      # 60 ms, no baseline ran
        self.assertEqual(met[("Footprint/IdleWithLogPI", "rss_kib")], False)
        self.assertEqual(met[("Footprint/IdleWithLogPI", "private_dirty_kib")], True)
        self.assertEqual(met[("Footprint/IdleWithLogPI", "stripped_kib")], True)            # the floor has none

    def test_cases_without_items_compare_iterations_per_second(self):
        rows = self.rows(crypto_bench=[
            dict(aggregate("ServiceTransform/1024", "median"), real_time=2.0),
            dict(aggregate("OpenSslCbcEncrypt/1024", "median"), real_time=1.0)])
        self.assertAlmostEqual(rows[("crypto_bench:ServiceTransform/1024", "crypto_bench:OpenSslCbcEncrypt/1024")]["ratio"], 0.5)

    def test_an_earlier_run_is_set_beside_this_one_row_by_row(self):
        def rows(records, handoff):
            return bench_table.build_rows(bench_table.load_cases("dispatch_bench", {"benchmarks": [
                aggregate("records/core/real_time", "median", records),
                aggregate("records/handoff/real_time", "median", handoff)]}))
        earlier = rows(50.0, 100.0)
        earlier.append({"figure": "ipc_bench:gone", "baseline": None, "metric": "items", "value": 1.0, "ratio": None,
                        "goal": "-", "met": None})
        pairs = {(p["figure"], p["baseline"]): p for p in bench_table.compare(earlier, rows(90.0, 100.0))}
        records = pairs[("dispatch_bench:records/core", "dispatch_bench:records/handoff")]
        self.assertEqual((records["before"], records["after"]), (50.0, 90.0))
        self.assertAlmostEqual(records["change"], 1.8)
        self.assertEqual((records["met_before"], records["met_after"]), (False, True))
        # A case only the earlier run had is listed, without a value now.
        self.assertIsNone(pairs[("ipc_bench:gone", None)]["after"])
        self.assertIn("records/core", bench_table.render_comparison(list(pairs.values())))

    def test_a_broken_case_fails_the_table(self):
        broken = {"name": "ipc_out/256/core/real_time", "run_name": "ipc_out/256/core/real_time",
                  "run_type": "iteration", "error_occurred": True, "error_message": "refused"}
        with tempfile.TemporaryDirectory() as folder:
            source = os.path.join(folder, "ipc_bench.json")
            with open(source, "w", encoding="utf-8") as f:
                json.dump({"benchmarks": [broken]}, f)
            out = os.path.join(folder, "results.json")
            with open(os.devnull, "w", encoding="utf-8") as quiet:
                stdout, sys.stdout = sys.stdout, quiet
                try:
                    status = bench_table.main(["--json", out, source])
                finally:
                    sys.stdout = stdout
            self.assertEqual(status, 1)
            with open(out, encoding="utf-8") as f:
                self.assertEqual(json.load(f)["rows"][0]["error"], "refused")


if __name__ == "__main__":
    unittest.main()
