"""Instruction counts per call under valgrind's callgrind, free of timing noise.

Each subject runs in its own interpreter under callgrind twice, with a short
and a long loop (the timeit loop, the statement inline); the difference of
the two totals divided by the difference of the loop counts is the cost of
one call, with start-up and warm-up cancelled out. The cost of an empty loop
iteration, measured the same way, is subtracted.

Reading the fields of a parsed list is also given per fragment: the cost of
``for f in fragments: f.string; f.options`` less that of the same loop with
no reads, divided by the number of fragments; and the same for the
placeholder fragments alone and the text fragments alone.

The texts for escape() (workloads.ESCAPE_INPUTS) are measured with escape()
itself, html.escape and parsing the escaped text, the last as the reference
of their ratios.

Usage: python bench/callgrind.py [--json FILE] [--workload NAME ...]
"""

import argparse
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))

SUBJECTS = {
    "frasolet.parse(s)": "parse(s)",
    "frasolet.parse(s, strict=True)": "parse(s, strict=True)",
    "frasolet.escape(s)": "escape(s)",
    "html.escape(s)": "html_escape(s)",
    "frasolet.parse(escape(s))": "parse(e)",
    "PromptTemplate(s, None)": "PromptTemplate(s, None)",
    "list(string.Formatter().parse(fs))": "list(Formatter().parse(fs))",
    "re parser (pure Python)": "re_parse(s)",
    "hash(T)": "hash(T)",
    "str(T)": "str(T)",
    "end to end: parse(s), read both fields": "for f in parse(s): f.string; f.options",
    "end to end: Formatter().parse(fs), unpack": (
        "for literal, field, spec, conversion in Formatter().parse(fs): pass"),
    "read both fields of a parsed list": "for f in fragments: f.string; f.options",
    "read both fields, placeholders only": "for f in placeholders: f.string; f.options",
    "read both fields, text only": "for f in texts: f.string; f.options",
    "iterate a parsed list": "for f in fragments: pass",
    "walk (a): for f in T, read both fields": "for f in T: f.string; f.options",
    "walk (c): pure Python, Frag(s, list(o)) per step": "for f in copying: f.string; f.options",
    "walk (c): list of slots dataclasses": "for f in records: f.string; f.options",
}
BASELINE = "pass"
ITERATE = "iterate a parsed list"
# Reading loops, and which fragments of the parsed list each one reads.
READS = {
    "read both fields of a parsed list": "all",
    "read both fields, placeholders only": "placeholders",
    "read both fields, text only": "text",
}
# The subjects of the escape() inputs, which are texts to escape rather than
# templates: escape() against html.escape and against parsing its result
# (the reference of their ratios); the templates get every other subject.
ESCAPE_SUBJECTS = ("frasolet.escape(s)", "html.escape(s)", "frasolet.parse(escape(s))")
# Loop counts (short, long) per workload.
LOOPS = {"small": (200, 2200), "dense": (4, 24), "text-heavy": (1, 3), "escape-heavy": (1, 5),
         "small-4": (200, 2200), "escape-dense": (1, 5), "cjk": (20, 220), "long-mixed": (20, 220),
         "escaped-json": (10, 110), "escaped-paths": (10, 110),
         "escape-ascii": (200, 2200), "escape-latin1": (200, 2200), "escape-cjk": (200, 2200),
         "escape-emoji": (200, 2200)}


def is_escape_input(workload):
    return workload.startswith("escape-") and workload != "escape-heavy" \
        and workload != "escape-dense"


def subjects_of(workload, names):
    if is_escape_input(workload):
        return [name for name in names if name in ESCAPE_SUBJECTS]
    return [name for name in names if name in ESCAPE_SUBJECTS[:1] or name not in ESCAPE_SUBJECTS]


def inner(template_file, stmt, number):
    """Runs inside valgrind: warm up once, then the timed loop. The template
    is read from a file so that valgrind does not run its generator."""
    sys.path.insert(0, HERE)
    import html
    import string

    import frasolet

    import competitors
    import workloads

    with open(template_file, encoding="utf-8", newline="") as source:
        template = source.read()
    namespace = {
        "parse": frasolet.parse,
        "escape": frasolet.escape,
        "html_escape": html.escape,
        "PromptTemplate": frasolet.PromptTemplate,
        "Formatter": string.Formatter,
        "re_parse": competitors.re_parse,
        "s": template,
        "e": frasolet.escape(template),
        # Only the templates have a competitor in the str.format grammar.
        "fs": None if is_escape_input(os.path.basename(template_file).removesuffix(".txt"))
        else workloads.to_format_string(template),
        "T": frasolet.PromptTemplate(template, None),
        "fragments": frasolet.parse(template),
    }
    namespace["copying"] = competitors.CopyingTemplate(namespace["fragments"])
    namespace["records"] = competitors.slot_records(namespace["fragments"])
    namespace["placeholders"] = [f for f in namespace["fragments"] if f.options is not None]
    namespace["texts"] = [f for f in namespace["fragments"] if f.options is None]
    timer = timeit.Timer(stmt, globals=namespace)
    timer.timeit(1)
    timer.timeit(number)


def total_instructions(template_file, stmt, number, valgrind):
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        result = subprocess.run(
            [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}",
             sys.executable, os.path.abspath(__file__), "--inner", template_file, stmt, str(number)],
            capture_output=True, text=True, env=env,
        )
        if result.returncode != 0:
            sys.exit(f"callgrind run failed:\n{result.stderr[-2000:]}")
        with open(out) as profile:
            for line in profile:
                match = re.match(r"(?:summary|totals):\s+(\d+)", line)
                if match:
                    return int(match.group(1))
    sys.exit("no instruction total in the callgrind output")


def per_call_counts(jobs, valgrind, template_files):
    """Instructions per call for each (workload, stmt) job, two runs each,
    run side by side on the machine's processors."""
    runs = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for job in jobs:
            workload, stmt = job
            for number in LOOPS[workload]:
                runs[job, number] = pool.submit(total_instructions, template_files[workload],
                                                stmt, number, valgrind)
    counts = {}
    for job in jobs:
        short, long = LOOPS[job[0]]
        counts[job] = (runs[job, long].result() - runs[job, short].result()) / (long - short)
    return counts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--inner", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--workload", action="append", choices=sorted(LOOPS))
    parser.add_argument("--subject", action="append", choices=sorted(SUBJECTS))
    parser.add_argument("--json", metavar="FILE", help="also write the JSON lines to FILE")
    args = parser.parse_args(argv)
    if args.inner:
        template_file, stmt, number = args.inner
        inner(template_file, stmt, int(number))
        return
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("valgrind is not installed")
    json_file = open(args.json, "w") if args.json else None
    names = args.subject or list(SUBJECTS)
    if any(name in READS for name in names) and ITERATE not in names:
        names.append(ITERATE)
    sys.path.insert(0, HERE)
    import frasolet

    import workloads

    chosen = args.workload or list(LOOPS)
    rows = []
    fragment_rows = []

    def emit(record):
        line = json.dumps(record, ensure_ascii=False)
        print("JSON " + line, flush=True)
        if json_file is not None:
            json_file.write(line + "\n")

    with tempfile.TemporaryDirectory() as scratch:
        template_files = {}
        fragment_counts = {}
        for workload in chosen:
            template = workloads.ALL_WORKLOADS[workload]()
            template_files[workload] = os.path.join(scratch, workload + ".txt")
            with open(template_files[workload], "w", encoding="utf-8", newline="") as out:
                out.write(template)
            fragments = frasolet.parse(frasolet.escape(template) if is_escape_input(workload)
                                       else template)
            placeholders = sum(f.options is not None for f in fragments)
            fragment_counts[workload] = {"all": len(fragments), "placeholders": placeholders,
                                         "text": len(fragments) - placeholders}
        jobs = [(w, stmt) for w in chosen
                for stmt in [BASELINE] + [SUBJECTS[n] for n in subjects_of(w, names)]]
        counts = per_call_counts(jobs, valgrind, template_files)
    for workload in chosen:
        baseline = counts[workload, BASELINE]
        net = {name: counts[workload, SUBJECTS[name]] - baseline
               for name in subjects_of(workload, names)}
        reference = net.get("frasolet.parse(escape(s))" if is_escape_input(workload)
                            else "frasolet.parse(s)")
        for name, count in net.items():
            record = {
                "kind": "instructions", "workload": workload, "subject": name,
                "instructions_per_call": round(count),
                "ratio_vs_frasolet_parse": round(count / reference, 3) if reference else None,
            }
            rows.append(record)
            emit(record)
        # One step of the bare loop, taken off every fragment read.
        step = net.get(ITERATE, 0) / max(fragment_counts[workload]["all"], 1)
        for name, which in READS.items():
            fragments = fragment_counts[workload][which]
            if name not in net or fragments == 0:
                continue
            record = {
                "kind": "instructions_per_fragment", "workload": workload,
                "subject": "read .string and .options", "fragments": which, "count": fragments,
                "instructions_per_fragment": round(net[name] / fragments - step),
            }
            fragment_rows.append(record)
            emit(record)
    print()
    print(f"{'workload':<13} {'subject':<42} {'instructions/call':>18} {'vs frasolet.parse':>18}")
    for row in rows:
        ratio = row["ratio_vs_frasolet_parse"]
        print(f"{row['workload']:<13} {row['subject']:<42} {row['instructions_per_call']:>18,}"
              f" {'' if ratio is None else f'{ratio:17.2f}x':>18}")
    if fragment_rows:
        print()
        print("reading .string and .options of a parsed list, less the bare loop:")
        print(f"{'workload':<12} {'fragments':<14} {'count':>7} {'instructions/fragment':>22}")
        for row in fragment_rows:
            print(f"{row['workload']:<12} {row['fragments']:<14} {row['count']:>7,}"
                  f" {row['instructions_per_fragment']:>22,}")
    if json_file is not None:
        json_file.close()


if __name__ == "__main__":
    main()
