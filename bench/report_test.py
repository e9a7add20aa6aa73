"""What the benchmark suite decides: medians and their ratios, whether a
target is met, each run's own timing and memory, and the runs' order."""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import report  # noqa: E402
import suite  # noqa: E402


def contender(name, seconds, size=None):
    return {"name": name, "seconds": seconds, "memory_kib": [1024] * len(seconds), "size": size}


class RatioTest(unittest.TestCase):
    def test_median_of_odd_and_even_counts(self):
        self.assertEqual(report.median([5, 1, 3]), 3)
        self.assertEqual(report.median([4, 1, 3, 2]), 2.5)

    def test_ratio_is_of_medians_so_one_slow_run_does_not_count(self):
        # Means would give 2.0 / 1.0; one stalled run of ours must not halve it.
        self.assertEqual(report.ratio_of_medians([1.0, 1.0, 10.0], [2.0, 2.0, 2.0]), 2.0)
        self.assertLess(report.ratio_of_medians([2.0, 2.0, 2.0], [1.0, 1.0, 1.0]), 1)


class ControlTest(unittest.TestCase):
    def test_runs_at_once_scale_by_their_work_and_fail_with_any_run(self):
        measurement = {"group": "codecs", "name": "BZip2", "data_bytes": 1, "contenders": [
            contender("one", [1.0, 1.0, 1.0]), contender("two at once", [1.6, 1.6, 1.6])],
            "comparisons": [{"subject": "two at once", "baseline": "one", "work": 2}]}
        [row] = report.rows({"measurements": [measurement]})
        self.assertAlmostEqual(row["ratio"], 1.25)
        self.assertEqual(subprocess.run(suite.at_once(2, ["true"])).returncode, 0)
        with tempfile.TemporaryDirectory() as folder:
            # Exactly one of the two makes the folder; the other fails.
            one_fails = suite.at_once(2, ["mkdir", Path(folder) / "once"])
            self.assertNotEqual(subprocess.run(one_fails, stderr=subprocess.DEVNULL).returncode, 0)


class VerdictTest(unittest.TestCase):
    def test_speed_target_holds_at_the_limit_and_fails_below(self):
        comparison = {"min_ratio": 1.8}
        self.assertEqual(report.verdict(comparison, 1.8, None), "met")
        missed = report.verdict(comparison, 0.9, None)
        self.assertTrue(missed.startswith("missed"))
        self.assertIn("0.90x of 1.80x (50% short)", missed)

    def test_size_limit_is_checked_beside_speed(self):
        comparison = {"min_ratio": 4.0, "max_size_ratio": 1.02}
        self.assertEqual(report.verdict(comparison, 5.0, 1.019), "met")
        self.assertIn("size +3.0% (limit +2%)", report.verdict(comparison, 5.0, 1.03))
        both = report.verdict(comparison, 2.0, 1.03)
        self.assertIn("speed", both)
        self.assertIn("size", both)

    def test_comparison_without_target_has_no_verdict(self):
        self.assertEqual(report.verdict({"min_ratio": None}, 0.1, None), "")


class ReportTest(unittest.TestCase):
    results = {
        "mode": "quick", "runs": 3, "started": "s", "finished": "f",
        "load_start": [0.1, 0.2, 0.3], "load_end": [0.4, 0.5, 0.6],
        "machine": {"cpu": "CPU", "cores": 2, "threads": 2, "memory_gib": 4.0, "kernel": "k",
                    "wine": "wine-8", "7zz": "7-Zip"},
        "measurements": [{
            "group": "programs", "name": "Pack", "data_bytes": 10_000_000,
            "contenders": [contender("Vantle", [3.0, 2.0, 2.5], 1000),
                           contender("floor", [1.0, 1.0, 1.0]),
                           contender("7zz", [5.0, 5.0, 5.0], 990)],
            "comparisons": [{"subject": "Vantle", "baseline": "floor", "min_ratio": 1 / 1.5,
                             "target": "time <= 1.5x the floor"},
                            {"subject": "Vantle", "baseline": "7zz", "min_ratio": None}],
        }],
        "notes": {"part timing": "publishing 1 s"},
    }

    def test_rows_carry_ratio_sizes_and_verdict(self):
        floor, peer = report.rows(self.results)
        self.assertAlmostEqual(floor["ratio"], 0.4)
        self.assertTrue(floor["verdict"].startswith("missed"))
        self.assertAlmostEqual(peer["ratio"], 2.0)
        self.assertAlmostEqual(peer["size_ratio"], 1000 / 990)
        self.assertEqual(peer["verdict"], "")

    def test_markdown_shows_the_machine_load_and_each_row(self):
        text = report.markdown(self.results)
        self.assertIn("CPU, 2 cores", text)
        self.assertIn("[0.1, 0.2, 0.3] at the start", text)
        self.assertIn("| Pack | Vantle | 4.0 MB/s (2.500 s) | floor |", text)
        self.assertIn("**0.40x**", text)
        # The summary lists the rows that have a target, and only those.
        summary = text.split("## Targets")[1].split("##")[0]
        self.assertIn("| Pack | Vantle | floor | 0.40x | time <= 1.5x the floor | missed", summary)
        self.assertNotIn("7zz", summary)
        self.assertIn("publishing 1 s", text)


class RunTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.out = Path(self.folder.name)

    def tearDown(self):
        self.folder.cleanup()

    def test_native_run_reports_its_own_peak_memory(self):
        # 64 MiB written by the child; the suite's own interpreter is smaller
        # than that and must not be what is reported.
        grow = suite.Contender("grow", [sys.executable, "-c", "b = b'x' * (64 << 20)"])
        seconds, memory = suite.run_once(grow, dict(os.environ), self.out)
        self.assertGreater(memory, 64 * 1024)
        self.assertGreater(seconds, 0)
        # A run never starts its count at this interpreter's own size.
        _, memory = suite.run_once(suite.Contender("true", ["true"]), dict(os.environ), self.out)
        self.assertLess(memory, 8 * 1024)

    def test_session_memory_sums_every_process_of_the_session(self):
        # A parent and the child it started, each holding 40 MiB, as Wine's
        # loader and the Windows processes it starts do; both report ready
        # and wait on their input, so the count is taken while they hold it.
        hold = "b = b'x' * (40 << 20); print('ready', flush=True); input()"
        parent = "import subprocess, sys; c = subprocess.Popen([sys.executable, '-c', %r]); " \
                 "%s; c.wait()" % (hold, hold)
        tree = subprocess.Popen([sys.executable, "-c", parent], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, start_new_session=True)
        try:
            self.assertEqual([tree.stdout.readline(), tree.stdout.readline()], ["ready\n"] * 2)
            memory = suite.session_rss_kib(tree.pid, set(), set())
            self.assertGreater(memory, 80 * 1024)
            # Two interpreters and their 80 MiB, not the machine's other processes.
            self.assertLess(memory, 160 * 1024)
        finally:
            tree.communicate("\n\n")

    def test_internal_time_replaces_the_process_time(self):
        timed = suite.Contender("inner", ["sh", "-c", "sleep 0.2; echo '{\"seconds\": 0.01}'"],
                                internal=True)
        seconds, _ = suite.run_once(timed, dict(os.environ), self.out)
        self.assertEqual(seconds, 0.01)

    def test_failed_run_stops_the_suite_with_its_error_output(self):
        failing = suite.Contender("fails", ["sh", "-c", "echo broken archive >&2; exit 3"])
        with self.assertRaisesRegex(RuntimeError, "failed \\(3\\): broken archive"):
            suite.run_once(failing, dict(os.environ), self.out)

    def test_rounds_alternate_and_scratch_starts_empty(self):
        log = self.out / "order"
        scratch = self.out / "scratch"

        def appender(name):
            # Fails if an earlier run's file is still in its scratch folder.
            return suite.Contender(name, ["sh", "-c", "test ! -e '%s/x' && touch '%s/x' && "
                                          "echo %s >> '%s'" % (scratch / name, scratch / name,
                                                               name, log)],
                                   scratch=scratch / name)

        measurement = suite.Measurement("g", "m", 1, [appender("a"), appender("b")])
        result = suite.measure(measurement, 3, dict(os.environ), self.out, lambda _: None)
        self.assertEqual(log.read_text().split(), ["a", "b", "b", "a", "a", "b"])
        self.assertEqual([len(c["seconds"]) for c in result["contenders"]], [3, 3])
        self.assertEqual(list(scratch.iterdir()), [])


if __name__ == "__main__":
    unittest.main()
