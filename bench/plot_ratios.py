"""Draws the parse ratios of a benchmark run as a chart for docs/performance.md.

Reads the JSON lines that ``bench/run.py --json FILE`` writes and plots, per
workload, how many times longer each competitor takes to parse the same
template than ``frasolet.parse`` (the "ratio" column of the tables; above 1,
frasolet is faster). The date, interpreter and processor of the run go
under the chart, so a chart always says which run it shows.

Usage: python bench/plot_ratios.py TIMINGS.jsonl OUTPUT.png
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no display

import matplotlib.pyplot as plt  # noqa: E402
import matplotlib.ticker  # noqa: E402

# Competitor subjects of the "parse WORKLOAD" groups, as the legend names them.
COMPETITORS = {
    "list(string.Formatter().parse(fs))": "string.Formatter().parse",
    "re parser (pure Python)": "re parser (pure Python)",
}


def read_run(path: Path) -> tuple[dict, dict[str, dict[str, float]]]:
    """The environment record and {workload: {competitor: ratio}} of a run."""
    environment: dict = {}
    ratios: dict[str, dict[str, float]] = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        record = json.loads(line)
        if record["kind"] == "environment":
            environment = record
        elif (
            record["kind"] == "measurement"
            and record["group"].startswith("parse ")
            and record["subject"] in COMPETITORS
        ):
            workload = record["group"].removeprefix("parse ")
            ratios.setdefault(workload, {})[record["subject"]] = record["ratio_vs_frasolet"]
    if not ratios:
        raise SystemExit(f"{path}: no parse ratios (is it the output of bench/run.py --json?)")
    return environment, ratios


def draw(environment: dict, ratios: dict[str, dict[str, float]], output: Path) -> None:
    workloads = list(ratios)
    height = 0.38
    figure, axes = plt.subplots(figsize=(8, 0.55 * len(workloads) + 1.6), dpi=110)
    for offset, (subject, label) in enumerate(COMPETITORS.items()):
        values = [ratios[w].get(subject, 0) for w in workloads]
        positions = [i + (offset - 0.5) * height for i in range(len(workloads))]
        bars = axes.barh(positions, values, height=height, label=label)
        axes.bar_label(bars, labels=[f"{v:.1f}×" for v in values], padding=3, fontsize=8)
    axes.axvline(1, color="black", linewidth=1)
    axes.set_xscale("log")
    axes.set_yticks(range(len(workloads)), workloads)
    axes.invert_yaxis()
    axes.set_xlabel(
        "competitor time / frasolet.parse time (log scale; right of 1: frasolet faster)"
    )
    axes.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda x, _: f"{x:g}"))
    axes.set_title("Parsing a template: how many times longer the competitors take", pad=28)
    axes.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, fontsize=8, frameon=False)
    axes.margins(x=0.15)
    run = (
        f"bench/run.py, {environment.get('date', '?')}, {environment.get('implementation', '')} "
        f"{environment.get('python', '?')}, frasolet {environment.get('frasolet', '?')}, "
        f"{environment.get('cpu', '?')} ({environment.get('cpus', '?')} CPUs)"
    )
    figure.text(0.01, 0.01, run, fontsize=7, color="dimgray")
    figure.tight_layout(rect=(0, 0.03, 1, 1))
    # No timestamp or version in the file: the same run gives the same bytes.
    figure.savefig(output, metadata={"Software": None})
    plt.close(figure)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("timings", type=Path, help="JSON lines of bench/run.py --json")
    parser.add_argument("output", type=Path, help="the PNG to write")
    args = parser.parse_args(argv)
    environment, ratios = read_run(args.timings)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    draw(environment, ratios, args.output)
    print(f"{args.output}: {len(ratios)} workloads from {args.timings}")


if __name__ == "__main__":
    main()
