"""Draws the parse ratios of a benchmark run as a chart for docs/performance.md.

Reads the JSON lines that ``bench/run.py --json FILE`` writes and plots, per
workload, how many times longer each competitor takes to parse the same
template than ``frasolet.parse`` (the "ratio" column of the tables; above 1,
frasolet is faster). The date, interpreter and processor of the run go
under the chart, so a chart always says which run it shows.

With ``--instructions``, reads the JSON lines of ``bench/callgrind.py --json
FILE`` instead and plots instruction ratios: for a template, how many times
more instructions string.Formatter().parse takes than frasolet.parse; for a
text given to escape(), how many times more html.escape and parsing the
escaped text take than escape() itself.

Usage: python bench/plot_ratios.py [--instructions] DATA.jsonl OUTPUT.png
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


# Series of the instruction chart: (label, subject, reference subject), each
# drawn where the workload has both.
INSTRUCTION_SERIES = (
    ("string.Formatter().parse / frasolet.parse", "list(string.Formatter().parse(fs))",
     "frasolet.parse(s)"),
    ("html.escape / frasolet.escape", "html.escape(s)", "frasolet.escape(s)"),
    ("frasolet.parse of the result / frasolet.escape", "frasolet.parse(escape(s))",
     "frasolet.escape(s)"),
)


def read_instructions(path: Path) -> dict[str, dict[str, float]]:
    """{workload: {series label: ratio}} of a bench/callgrind.py run."""
    counts: dict[str, dict[str, float]] = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        record = json.loads(line)
        if record["kind"] == "instructions":
            counts.setdefault(record["workload"], {})[record["subject"]] = (
                record["instructions_per_call"])
    ratios: dict[str, dict[str, float]] = {}
    for workload, subjects in counts.items():
        for label, subject, reference in INSTRUCTION_SERIES:
            if subject in subjects and subjects.get(reference):
                ratios.setdefault(workload, {})[label] = subjects[subject] / subjects[reference]
    if not ratios:
        raise SystemExit(f"{path}: no instruction ratios (is it the output of "
                         "bench/callgrind.py --json?)")
    return ratios


def draw(environment: dict, ratios: dict[str, dict[str, float]], output: Path,
         series: dict[str, str] = COMPETITORS, title: str | None = None,
         xlabel: str | None = None, footer: str | None = None) -> None:
    workloads = list(ratios)
    height = 0.76 / len(series)
    figure, axes = plt.subplots(figsize=(8, 0.55 * len(workloads) + 1.6), dpi=110)
    for offset, (subject, label) in enumerate(series.items()):
        shown = [w for w in workloads if subject in ratios[w]]
        values = [ratios[w][subject] for w in shown]
        positions = [workloads.index(w) + (offset - (len(series) - 1) / 2) * height
                     for w in shown]
        bars = axes.barh(positions, values, height=height, label=label)
        axes.bar_label(bars, labels=[f"{v:.1f}×" for v in values], padding=3, fontsize=8)
    axes.axvline(1, color="black", linewidth=1)
    axes.set_xscale("log")
    axes.set_yticks(range(len(workloads)), workloads)
    axes.invert_yaxis()
    axes.set_xlabel(xlabel or
        "competitor time / frasolet.parse time (log scale; right of 1: frasolet faster)"
    )
    axes.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda x, _: f"{x:g}"))
    legend_rows = (len(series) + 1) // 2
    axes.set_title(title or "Parsing a template: how many times longer the competitors take",
                   pad=28 + 14 * (legend_rows - 1))
    axes.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=min(len(series), 2),
                fontsize=8, frameon=False)
    axes.margins(x=0.15)
    run = footer or (
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
    parser.add_argument("--instructions", action="store_true",
                        help="DATA is the output of bench/callgrind.py --json")
    parser.add_argument("timings", type=Path,
                        help="JSON lines of bench/run.py --json (or bench/callgrind.py --json)")
    parser.add_argument("output", type=Path, help="the PNG to write")
    args = parser.parse_args(argv)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    if args.instructions:
        ratios = read_instructions(args.timings)
        draw({}, ratios, args.output, series={label: label for label, _, _ in INSTRUCTION_SERIES},
             title="Instructions per call: how many times more the others take",
             xlabel="instructions of the other / instructions of frasolet (log scale)",
             footer="bench/callgrind.py (callgrind, instructions per call, "
                    "empty loop subtracted); data in docs/data/bench-instructions.jsonl")
    else:
        environment, ratios = read_run(args.timings)
        draw(environment, ratios, args.output)
    print(f"{args.output}: {len(ratios)} workloads from {args.timings}")


if __name__ == "__main__":
    main()
