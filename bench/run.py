"""The frasolet benchmark suite.

Times frasolet against its competitors in one process, on one interpreter,
and reports ratios (competitor time / frasolet time). Absolute times on a
shared machine are noisy; ratios of subjects timed back to back are not.

Method: every subject of a group is calibrated to a sample of about
``--sample-ms`` milliseconds, then the group is sampled in rounds, the
subjects interleaved in an order that rotates from round to round. The
per-call time reported is the fastest round; a ratio is the median over the
rounds of the two subjects' samples of that round. The cyclic garbage
collector is off while timing, as timeit does.

Usage: python bench/run.py [--quick] [--json FILE] [--markdown FILE]
"""

import argparse
import datetime
import gc
import hashlib
import json
import os
import pickle
import platform
import re
import statistics
import string
import sys
import time
import timeit
import tracemalloc

import frasolet

import competitors
import workloads

# ---- timing -------------------------------------------------------------------


class Subject:
    """One timed statement. ``bytes_per_call`` gives MB/s where it applies."""

    def __init__(self, name, stmt, namespace, bytes_per_call=None, setup=None):
        self.name = name
        self.timer = timeit.Timer(stmt, globals=namespace)
        self.setup = setup  # called before each sample, outside the timing
        self.bytes_per_call = bytes_per_call
        self.number = 1
        self.samples = []

    def sample(self, number):
        if self.setup is not None:
            self.setup(number)
        return self.timer.timeit(number) / number

    def calibrate(self, target):
        number = 1
        while True:
            elapsed = self.sample(number) * number
            if elapsed >= target or number >= 1 << 24:
                break
            number = max(number * 2, int(number * target / max(elapsed, 1e-9) * 1.1))
        self.number = number

    @property
    def best(self):
        return min(self.samples)


def run_group(subjects, rounds, target):
    for subject in subjects:
        subject.calibrate(target)
    for r in range(rounds):
        shift = r % len(subjects)
        for subject in subjects[shift:] + subjects[:shift]:
            subject.samples.append(subject.sample(subject.number))


def paired_ratio(numerator, denominator):
    """Median over rounds of numerator[i] / denominator[i]; each argument is
    a Subject or a list of per-round times."""
    top = numerator.samples if isinstance(numerator, Subject) else numerator
    bottom = denominator.samples if isinstance(denominator, Subject) else denominator
    return statistics.median(a / b for a, b in zip(top, bottom))


# ---- reporting ------------------------------------------------------------------


class Report:
    def __init__(self, json_file):
        self.rows = []
        self.goals = []
        self.memory = []
        self.json_file = json_file

    def emit(self, record):
        line = json.dumps(record, ensure_ascii=False)
        print("JSON " + line, flush=True)
        if self.json_file is not None:
            self.json_file.write(line + "\n")

    def measurement(self, group, subject, per_call, bytes_per_call=None, ratio=None, note=None):
        record = {
            "kind": "measurement",
            "group": group,
            "subject": subject,
            "per_call_ns": round(per_call * 1e9, 1),
            "mb_per_s": round(bytes_per_call / per_call / 1e6, 1) if bytes_per_call else None,
            "ratio_vs_frasolet": round(ratio, 3) if ratio is not None else None,
        }
        if note:
            record["note"] = note
        self.rows.append(record)
        self.emit(record)

    def goal(self, name, measured, relation, bound, aim=None):
        met = measured >= bound if relation == ">=" else measured <= bound
        record = {"kind": "goal", "goal": name, "measured": round(measured, 3),
                  "relation": relation, "bound": bound, "met": met}
        if aim is not None:
            record["aim"] = aim
        self.goals.append(record)
        self.emit(record)

    def memory_row(self, workload, what, traced, utf8):
        record = {"kind": "memory", "workload": workload, "object": what,
                  "traced_bytes": traced, "utf8_bytes": utf8,
                  "ratio_to_utf8": round(traced / utf8, 3)}
        self.memory.append(record)
        self.emit(record)


def format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds * 1e9:8.1f} ns"


def print_table(report):
    print()
    print(f"{'group':<22} {'subject':<44} {'per call':>11} {'MB/s':>9} {'ratio':>8}")
    print("-" * 98)
    group = None
    for row in report.rows:
        if row["group"] != group and group is not None:
            print()
        group = row["group"]
        mbs = f"{row['mb_per_s']:9.1f}" if row["mb_per_s"] else " " * 9
        ratio = f"{row['ratio_vs_frasolet']:7.2f}x" if row["ratio_vs_frasolet"] is not None else ""
        print(f"{row['group']:<22} {row['subject']:<44} {format_time(row['per_call_ns'] / 1e9):>11}"
              f" {mbs} {ratio:>8}")
    print()
    print("ratio = competitor time / frasolet time, median of back-to-back rounds")
    print()
    print(f"{'memory':<14} {'object':<34} {'traced bytes':>14} {'UTF-8 bytes':>12} {'ratio':>7}")
    for row in report.memory:
        print(f"{row['workload']:<14} {row['object']:<34} {row['traced_bytes']:>14}"
              f" {row['utf8_bytes']:>12} {row['ratio_to_utf8']:>6.2f}x")
    print()
    print(f"{'goal':<64} {'measured':>9}  {'bound':>8}  met")
    for g in report.goals:
        aim = f"  (aim {g['aim']})" if "aim" in g else ""
        print(f"{g['goal']:<64} {g['measured']:>9.2f}  {g['relation']} {g['bound']:<5}  "
              f"{'yes' if g['met'] else 'NO'}{aim}")


# ---- the groups -------------------------------------------------------------------


def parse_group(report, name, template, rounds, target):
    """frasolet.parse and PromptTemplate against string.Formatter and the re
    parser on one workload; for the big text also the copy and encode floors."""
    format_string = workloads.to_format_string(template)
    utf8 = template.encode()
    size = len(utf8)
    namespace = {
        "parse": frasolet.parse,
        "PromptTemplate": frasolet.PromptTemplate,
        "Formatter": string.Formatter,
        "re_parse": competitors.re_parse,
        "s": template,
        "fs": format_string,
        "utf8": utf8,
        # A copy of the text whose UTF-8 form CPython has not cached.
        "cold": (template + ".")[:-1],
    }
    frasolet.parse(template)  # the first call caches a non-ASCII str's UTF-8
    main = Subject("frasolet.parse(s)", "parse(s)", namespace, size)
    subjects = [
        main,
        Subject("PromptTemplate(s, None)", "PromptTemplate(s, None)", namespace, size),
        Subject("list(string.Formatter().parse(fs))", "list(Formatter().parse(fs))", namespace, size),
        Subject("re parser (pure Python)", "re_parse(s)", namespace, size),
    ]
    if name == "text-heavy":
        subjects.append(Subject("memory copy of the UTF-8 bytes", "bytes(utf8_buffer)",
                                dict(namespace, utf8_buffer=bytearray(utf8)), size))
        subjects.append(Subject("str.encode() (UTF-8 not cached)", "cold.encode()", namespace, size))
        fresh = FreshStrings(template)
        subjects.append(Subject("frasolet.parse(s), s fresh (UTF-8 made)", "parse(next_fresh())",
                                dict(namespace, next_fresh=fresh.next), size, setup=fresh.prepare))
    if name == "escape-dense":
        # The same text with every escape written as its plain character: one
        # literal for Formatter, which shows what a scan of them costs it.
        plain = re.sub(r"\\(.)", r"\1", template)
        subjects.append(Subject("list(Formatter().parse(unescaped)) (context)",
                                "list(Formatter().parse(unescaped))", dict(namespace, unescaped=plain), size))
    run_group(subjects, rounds, target)
    group = f"parse {name}"
    report.measurement(group, main.name, main.best, size)
    for subject in subjects[1:]:
        report.measurement(group, subject.name, subject.best, size, paired_ratio(subject, main))
    by_name = {s.name: s for s in subjects}
    formatter = by_name["list(string.Formatter().parse(fs))"]
    regex = by_name["re parser (pure Python)"]
    bounds = {"small": (1.3, 10), "dense": (1.3, 10), "text-heavy": (5, None), "escape-heavy": (1, 20),
              "small-4": (2, None), "escape-dense": (1.5, None), "cjk": (2, None),
              "long-mixed": (None, None)}
    formatter_bound, regex_bound = bounds[name]
    if formatter_bound is not None:
        report.goal(f"{name}: string.Formatter / frasolet.parse", paired_ratio(formatter, main),
                    ">=", formatter_bound)
    if name == "dense":
        report.goal("dense: string.Formatter / frasolet.parse, raised bound",
                    paired_ratio(formatter, main), ">=", 1.7)
    if regex_bound is not None:
        report.goal(f"{name}: re parser / frasolet.parse", paired_ratio(regex, main), ">=", regex_bound)
    if name == "text-heavy":
        copy = by_name["memory copy of the UTF-8 bytes"]
        report.goal("text-heavy: frasolet.parse / memory copy", paired_ratio(main, copy), "<=", 3)


# Workloads timed end to end, with the goal (bound, aim) where there is one.
END_TO_END = {"small": None, "small-4": (0.8, 1.0), "dense": (0.8, 1.0), "cjk": (0.6, None)}


def end_to_end_group(report, name, template, rounds, target):
    """Parsing and then reading every result: both fields of every fragment
    against string.Formatter's parse with every tuple unpacked. Reading the
    fields of an already parsed list is timed beside them."""
    namespace = {
        "parse": frasolet.parse,
        "Formatter": string.Formatter,
        "s": template,
        "fs": workloads.to_format_string(template),
        "fragments": frasolet.parse(template),
    }
    main = Subject("parse(s), read .string and .options",
                   "for f in parse(s): f.string; f.options", namespace)
    formatter = Subject("Formatter().parse(fs), unpack every tuple",
                        "for literal, field, spec, conversion in Formatter().parse(fs): pass",
                        namespace)
    reads = Subject("read .string and .options of a parsed list",
                    "for f in fragments: f.string; f.options", namespace)
    run_group([main, formatter, reads], rounds, target)
    group = f"end to end {name}"
    report.measurement(group, main.name, main.best)
    report.measurement(group, formatter.name, formatter.best, ratio=paired_ratio(formatter, main))
    report.measurement(group, reads.name, reads.best,
                       note=f"{len(namespace['fragments'])} fragments")
    goal = END_TO_END[name]
    if goal is not None:
        bound, aim = goal
        report.goal(f"{name} end to end: Formatter+unpack / parse+read fields",
                    paired_ratio(formatter, main), ">=", bound, aim)


# Workloads walked as a pipeline walks a parsed template for every sample.
WALKED = ("small-4", "dense", "long-mixed")


def walk_group(report, name, template, rounds, target):
    """Walking a parsed template, reading both fields of every fragment: (a)
    a PromptTemplate, (b) the list from frasolet.parse, (c) pure Python,
    with frasolet's copies and without, (d) string.Formatter re-parsing the
    text each walk. Ratios are to (a)."""
    fragments = frasolet.parse(template)
    namespace = {
        "T": frasolet.PromptTemplate(template, None),
        "fragments": fragments,
        "copying": competitors.CopyingTemplate(fragments),
        "records": competitors.slot_records(fragments),
        "Formatter": string.Formatter,
        "fs": workloads.to_format_string(template),
    }
    main = Subject("(a) for f in T: f.string; f.options", "for f in T: f.string; f.options",
                   namespace)
    others = [
        Subject("(b) the same over a parse() list",
                "for f in fragments: f.string; f.options", namespace),
        Subject("(c) pure Python, Frag(s, list(o)) per step",
                "for f in copying: f.string; f.options", namespace),
        Subject("(c) list of slots dataclasses, no copies",
                "for f in records: f.string; f.options", namespace),
        Subject("(d) Formatter().parse(fs), unpack",
                "for literal, field, spec, conversion in Formatter().parse(fs): pass", namespace),
    ]
    run_group([main] + others, rounds, target)
    group = f"walk {name}"
    report.measurement(group, main.name, main.best, note=f"{len(fragments)} fragments")
    for subject in others:
        report.measurement(group, subject.name, subject.best, ratio=paired_ratio(subject, main))


class FreshStrings:
    """Hands out copies of a text that no one has asked for UTF-8 yet, so
    each parse pays for the conversion. The copies are made before each
    sample and freed before the next, both outside the timing."""

    def __init__(self, text):
        self.text = text
        self.pool = []
        self.iterator = iter(())

    def prepare(self, number):
        self.pool = []
        self.pool = [(self.text + str(i % 10))[:-1] for i in range(number)]
        self.iterator = iter(self.pool)

    def next(self):
        return next(self.iterator)


def template_group(report, name, template, rounds, target):
    """The operations on a parsed template, and hashing against CPython's
    own bytes hash and blake2b."""
    frasolet.parse(template)
    T = frasolet.PromptTemplate(template, None)
    fragments = frasolet.parse(template)
    pickled = pickle.dumps(fragments)
    pairs = [(f.string, f.options) for f in fragments]
    text_form = str(T).encode()
    size = len(text_form)
    namespace = {
        "T": T, "fragments": fragments, "pickled": pickled, "pairs": pairs,
        "pairs_pickled": pickle.dumps(pairs), "pickle": pickle,
        "text_buffer": bytearray(text_form), "text_bytes": text_form,
        "blake2b": hashlib.blake2b,
    }
    main = Subject("hash(T)", "hash(T)", namespace, size)
    hash_copy = Subject("hash(bytes(buffer))", "hash(bytes(text_buffer))", namespace, size)
    copy = Subject("bytes(buffer)", "bytes(text_buffer)", namespace, size)
    blake = Subject("hashlib.blake2b(bytes).digest()", "blake2b(text_bytes).digest()", namespace, size)
    others = [
        Subject("len(T)", "len(T)", namespace),
        Subject("list(iter(T))", "list(iter(T))", namespace),
        Subject("T.fragments", "T.fragments", namespace),
        Subject("str(T)", "str(T)", namespace, size),
        Subject("bytes.decode() of the text form (context)", "text_bytes.decode()", namespace, size),
        Subject("hash(str(T)) (context)", "hash(str(T))", namespace, size),
        Subject("pickle.dumps(fragments)", "pickle.dumps(fragments)", namespace),
        Subject("pickle.loads(...)", "pickle.loads(pickled)", namespace),
        Subject("pickle.dumps(tuples) (context)", "pickle.dumps(pairs)", namespace),
        Subject("pickle.loads(tuples) (context)", "pickle.loads(pairs_pickled)", namespace),
    ]
    run_group([main, hash_copy, copy, blake], rounds, target)
    run_group(others, max(3, rounds // 3), target)
    group = f"template {name}"
    for subject in others:
        report.measurement(group, subject.name, subject.best, subject.bytes_per_call)
    cpython_hash = [a - b for a, b in zip(hash_copy.samples, copy.samples)]
    report.measurement(group, main.name, main.best, size)
    report.measurement(group, "CPython hash(bytes), copy subtracted",
                       max(min(cpython_hash), 1e-12), size, paired_ratio(cpython_hash, main))
    report.measurement(group, blake.name, blake.best, size, paired_ratio(blake, main))
    if name == "text-heavy":
        report.goal("text-heavy: hash(T) / CPython hash of the bytes",
                    paired_ratio(main, cpython_hash), "<=", 2)
        report.goal("text-heavy: hash(T) / blake2b", paired_ratio(main, blake), "<", 1)


def memory_rows(report, name, template):
    """Memory that tracemalloc sees a parsed template (and a parse list) hold."""
    utf8 = len(template.encode())
    frasolet.parse(template)  # the str's own UTF-8 cache is not the template's
    gc.collect()
    def walked():
        T = frasolet.PromptTemplate(template, None)
        for f in T:
            f.string
            f.options
        return T

    for what, make in (("PromptTemplate(s, None)", lambda: frasolet.PromptTemplate(template, None)),
                       ("frasolet.parse(s) list", lambda: frasolet.parse(template)),
                       ("PromptTemplate, after a walk", walked)):
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        held = make()
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        del held
        report.memory_row(name, what, after - before, utf8)
    if name == "text-heavy":
        retained = report.memory[-3]["ratio_to_utf8"]
        report.goal("text-heavy: PromptTemplate memory / UTF-8 size", retained, "<=", 1.5)
        walked_ratio = report.memory[-1]["ratio_to_utf8"]
        report.goal("text-heavy: PromptTemplate memory after a walk / UTF-8 size", walked_ratio,
                    "<=", 1.5)


def environment():
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "kind": "environment",
        "date": datetime.date.today().isoformat(),
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "machine": platform.machine(),
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "frasolet": frasolet.__version__,
        "hash_algorithm": sys.hash_info.algorithm,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--sample-ms", type=float, default=None)
    parser.add_argument("--only", action="append", choices=sorted(workloads.WORKLOADS),
                        help="run only this workload (repeatable)")
    parser.add_argument("--json", metavar="FILE", help="also write the JSON lines to FILE")
    args = parser.parse_args(argv)
    rounds = args.rounds or (5 if args.quick else 15)
    target = (args.sample_ms or (10 if args.quick else 25)) / 1000

    if sys.implementation.name != "cpython":
        sys.exit("the suite measures CPython")
    json_file = open(args.json, "w") if args.json else None
    report = Report(json_file)
    report.emit(environment())

    names = args.only or list(workloads.WORKLOADS)
    templates = {name: workloads.WORKLOADS[name]() for name in names}
    for name, template in templates.items():
        competitors.check_agreement(name, template, workloads.to_format_string(template))
    print("all parsers agree on every workload", flush=True)

    gc.disable()
    started = time.perf_counter()
    try:
        for name, template in templates.items():
            parse_group(report, name, template, rounds, target)
            if name in END_TO_END:
                end_to_end_group(report, name, template, rounds, target)
            if name in WALKED:
                walk_group(report, name, template, rounds, target)
            template_group(report, name, template, rounds, target)
    finally:
        gc.enable()
    for name, template in templates.items():
        memory_rows(report, name, template)
    print_table(report)
    print(f"\n{len(report.goals)} goals, {sum(not g['met'] for g in report.goals)} not met;"
          f" {time.perf_counter() - started:.0f} s")
    if json_file is not None:
        json_file.close()


if __name__ == "__main__":
    main()
