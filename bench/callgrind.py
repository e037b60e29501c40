"""Instruction counts per call under valgrind's callgrind, free of timing noise.

Each subject runs in its own interpreter under callgrind twice, with a short
and a long loop (the timeit loop, the statement inline); the difference of
the two totals divided by the difference of the loop counts is the cost of
one call, with start-up and warm-up cancelled out. The cost of an empty loop
iteration, measured the same way, is subtracted.

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
    "PromptTemplate(s, None)": "PromptTemplate(s, None)",
    "list(string.Formatter().parse(fs))": "list(Formatter().parse(fs))",
    "re parser (pure Python)": "re_parse(s)",
    "hash(T)": "hash(T)",
    "str(T)": "str(T)",
}
BASELINE = "pass"
# Loop counts (short, long) per workload.
LOOPS = {"small": (200, 2200), "dense": (4, 24)}


def inner(workload, stmt, number):
    """Runs inside valgrind: warm up once, then the timed loop."""
    sys.path.insert(0, HERE)
    import string

    import frasolet

    import competitors
    import workloads

    template = workloads.WORKLOADS[workload]()
    namespace = {
        "parse": frasolet.parse,
        "PromptTemplate": frasolet.PromptTemplate,
        "Formatter": string.Formatter,
        "re_parse": competitors.re_parse,
        "s": template,
        "fs": workloads.to_format_string(template),
        "T": frasolet.PromptTemplate(template, None),
    }
    timer = timeit.Timer(stmt, globals=namespace)
    timer.timeit(1)
    timer.timeit(number)


def total_instructions(workload, stmt, number, valgrind):
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        result = subprocess.run(
            [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}",
             sys.executable, os.path.abspath(__file__), "--inner", workload, stmt, str(number)],
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


def per_call_counts(jobs, valgrind):
    """Instructions per call for each (workload, stmt) job, two runs each,
    run side by side on the machine's processors."""
    runs = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for job in jobs:
            workload, stmt = job
            for number in LOOPS[workload]:
                runs[job, number] = pool.submit(total_instructions, workload, stmt, number, valgrind)
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
        workload, stmt, number = args.inner
        inner(workload, stmt, int(number))
        return
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("valgrind is not installed")
    json_file = open(args.json, "w") if args.json else None
    workloads = args.workload or list(LOOPS)
    names = args.subject or list(SUBJECTS)
    jobs = [(w, stmt) for w in workloads for stmt in [BASELINE] + [SUBJECTS[n] for n in names]]
    counts = per_call_counts(jobs, valgrind)
    rows = []
    for workload in workloads:
        baseline = counts[workload, BASELINE]
        net = {name: counts[workload, SUBJECTS[name]] - baseline for name in names}
        reference = net.get("frasolet.parse(s)")
        for name, count in net.items():
            record = {
                "kind": "instructions", "workload": workload, "subject": name,
                "instructions_per_call": round(count),
                "ratio_vs_frasolet_parse": round(count / reference, 3) if reference else None,
            }
            rows.append(record)
            line = json.dumps(record)
            print("JSON " + line, flush=True)
            if json_file is not None:
                json_file.write(line + "\n")
    print()
    print(f"{'workload':<10} {'subject':<38} {'instructions/call':>18} {'vs frasolet.parse':>18}")
    for row in rows:
        ratio = row["ratio_vs_frasolet_parse"]
        print(f"{row['workload']:<10} {row['subject']:<38} {row['instructions_per_call']:>18,}"
              f" {'' if ratio is None else f'{ratio:17.2f}x':>18}")
    if json_file is not None:
        json_file.close()


if __name__ == "__main__":
    main()
