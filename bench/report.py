"""Turns results.json of bench/suite.py into report.md and report.png.

Usage: report.py <folder holding results.json>
"""

import json
import sys
from pathlib import Path


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


def ratio_of_medians(subject_seconds, baseline_seconds):
    """How many times faster the subject is: above 1 it beats the baseline."""
    return median(baseline_seconds) / median(subject_seconds)


def verdict(comparison, ratio, size_ratio):
    """'met', 'missed by ...' or '' when the comparison has no target."""
    if comparison.get("min_ratio") is None:
        return ""
    misses = []
    if ratio < comparison["min_ratio"]:
        misses.append("speed %.2fx of %.2fx (%.0f%% short)" % (
            ratio, comparison["min_ratio"], 100 * (1 - ratio / comparison["min_ratio"])))
    limit = comparison.get("max_size_ratio")
    if limit is not None and (size_ratio is None or size_ratio > limit):
        misses.append("size %+.1f%% (limit %+.0f%%)" % (
            100 * (size_ratio - 1), 100 * (limit - 1)) if size_ratio else "size unknown")
    return "missed: " + "; ".join(misses) if misses else "met"


def rows(results):
    """One row per comparison, with what the report shows of it."""
    out = []
    for measurement in results["measurements"]:
        by_name = {c["name"]: c for c in measurement["contenders"]}
        for comparison in measurement["comparisons"]:
            subject, baseline = by_name[comparison["subject"]], by_name[comparison["baseline"]]
            ratio = ratio_of_medians(subject["seconds"], baseline["seconds"]) * comparison.get(
                "work", 1)
            size_ratio = (subject["size"] / baseline["size"]
                          if subject.get("size") and baseline.get("size") else None)
            out.append({
                "group": measurement["group"],
                "measurement": measurement["name"],
                "subject": subject,
                "baseline": baseline,
                "data_bytes": measurement["data_bytes"],
                "ratio": ratio,
                "size_ratio": size_ratio,
                "target": comparison.get("target", ""),
                "min_ratio": comparison.get("min_ratio"),
                "verdict": verdict(comparison, ratio, size_ratio),
            })
    return out


def speed(row, contender):
    return "%.1f MB/s (%.3f s)" % (row["data_bytes"] / 1e6 / median(contender["seconds"]),
                                   median(contender["seconds"]))


def memory(contender):
    return "%.0f MB" % (max(contender["memory_kib"]) / 1024)


def size(contender):
    return "%.2f MB" % (contender["size"] / 1e6) if contender.get("size") else ""


GROUPS = {
    "codecs": "Codecs and packing, natively (time of the decoding alone for the in-memory "
              "rows; whole processes otherwise)",
    "programs": "Whole programs: Vantle under Wine (process start included), peers natively",
}


def markdown(results):
    m = results["machine"]
    lines = [
        "# Vantle benchmark report (%s run)" % results["mode"], "",
        "- Machine: %s, %d cores, %.1f GiB, Linux %s; %s; %s" % (
            m["cpu"], m["cores"], m["memory_gib"], m["kernel"], m["wine"], m["7zz"]),
        "- Threads for \"every core\": %d. Runs per contender: %d, alternating; the figures "
        "are medians, a ratio is the ratio of medians (baseline time / ours: above 1 we are "
        "faster)." % (m["threads"], results["runs"]),
        "- Load average (1, 5, 15 min): %s at the start (%s), %s at the end (%s)." % (
            results["load_start"], results["started"], results["load_end"], results["finished"]),
        "- Memory: a native run's peak resident set as the kernel counts it (/usr/bin/time -f %M); a Wine run's "
        "peak of the summed resident sets of every process of its session (all Windows "
        "processes it starts), sampled every 50 ms, without the shared wineserver.",
        "- The floor is bench/windows/file_floor.exe under Wine: it only creates and writes the "
        "same files (extraction) or reads them and writes one file (packing).", ""]
    table = rows(results)
    lines += ["## Targets", "", "| measurement | ours | against | ratio | target | |",
              "|---|---|---|---|---|---|"]
    lines += ["| %s | %s | %s | %.2fx | %s | %s |" % (
        r["measurement"], r["subject"]["name"], r["baseline"]["name"], r["ratio"], r["target"],
        r["verdict"]) for r in table if r["verdict"]]
    lines.append("")
    for group, title in GROUPS.items():
        group_rows = [r for r in table if r["group"] == group]
        if not group_rows:
            continue
        lines += ["## " + title, "",
                  "| measurement | ours | speed | against | speed | ratio | size | memory "
                  "(ours / theirs) | target | |",
                  "|---|---|---|---|---|---|---|---|---|---|"]
        for r in group_rows:
            s, b = r["subject"], r["baseline"]
            sizes = "%s / %s" % (size(s), size(b)) if r["size_ratio"] else ""
            lines.append("| %s | %s | %s | %s | %s | **%.2fx** | %s | %s / %s | %s | %s |" % (
                r["measurement"], s["name"], speed(r, s), b["name"], speed(r, b), r["ratio"],
                sizes, memory(s), memory(b), r["target"], r["verdict"]))
        lines.append("")
    for name, text in results.get("notes", {}).items():
        lines += ["## " + name.capitalize(), "", "```", text, "```", ""]
    return "\n".join(lines)


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    table = rows(results)
    labels = ["%s: %s vs %s" % (r["measurement"], r["subject"]["name"], r["baseline"]["name"])
              for r in table]
    colours = ["#3a7d44" if r["verdict"] == "met" else "#c0392b" if r["verdict"] else "#7f8c8d"
               for r in table]
    figure, axes = plt.subplots(figsize=(11, 0.32 * len(table) + 1.5))
    positions = range(len(table))[::-1]
    axes.barh(list(positions), [r["ratio"] for r in table], color=colours)
    axes.axvline(1.0, color="black", linewidth=0.8)
    for y, r in zip(positions, table):
        axes.text(r["ratio"], y, " %.2fx" % r["ratio"], va="center", fontsize=7)
        if r["min_ratio"]:
            axes.plot([r["min_ratio"]] * 2, [y - 0.4, y + 0.4], color="black", linewidth=2)
    axes.set_yticks(list(positions), labels, fontsize=7)
    axes.set_xscale("log")
    ticks = [0.01, 0.03, 0.1, 0.25, 0.5, 1, 2, 4, 8]
    axes.set_xticks(ticks, ["%gx" % t for t in ticks])
    axes.set_xlabel("ratio of medians (baseline time / ours; log scale)\ngreen: target met, "
                    "red: missed, grey: no target; black bar: the target")
    axes.set_title("Vantle against its peers (%s run, %s)" % (results["mode"],
                                                              results["started"]))
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main(folder):
    folder = Path(folder)
    results = json.loads((folder / "results.json").read_text())
    (folder / "report.md").write_text(markdown(results))
    chart(results, folder / "report.png")


if __name__ == "__main__":
    main(sys.argv[1])
