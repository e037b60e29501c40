"""Throughput of parsing a corpus of templates on several cores.

The corpus is many small prompts (the small and small-4 workloads, each from
its own seed), parsed in chunks, every fragment's two fields read. The same
work runs in one interpreter (a plain loop), in InterpreterPoolExecutor(n)
(one interpreter with its own GIL per worker) and in ProcessPoolExecutor(n).
Each pool is started and warmed up (every worker has imported frasolet)
before it is timed; the best of the rounds counts. Reported: templates per
second and the ratios between them. Needs CPython 3.14 or later.

Usage: python bench/pools.py [--workers N] [--templates N] [--rounds N] [--json FILE]
"""

import argparse
import json
import os
import sys
import time

import frasolet

import workloads


def parse_all(templates):
    """The work of one task: parse every template and read every fragment."""
    count = 0
    for template in templates:
        for fragment in frasolet.parse(template):
            fragment.string
            fragment.options
            count += 1
    return count


def corpus(size):
    return [(workloads.small if i % 2 else workloads.small_4)(seed=i) for i in range(size)]


def best_rate(run, templates, rounds):
    """Templates per second: the best of `rounds` runs of run(templates)."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run(templates)
        best = min(best, time.perf_counter() - start)
    return len(templates) / best


def pooled(executor, chunk_size):
    # Tasks name the function by its module, which the workers import: the
    # module of this script is imported under its own name for that.
    import pools

    def run(templates):
        chunks = [templates[i:i + chunk_size] for i in range(0, len(templates), chunk_size)]
        return sum(executor.map(pools.parse_all, chunks))

    return run


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--templates", type=int, default=20000)
    parser.add_argument("--chunk", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", metavar="FILE", help="also write the JSON lines to FILE")
    args = parser.parse_args(argv)
    if sys.version_info < (3, 14):
        sys.exit("InterpreterPoolExecutor needs CPython 3.14 or later")
    from concurrent.futures import InterpreterPoolExecutor, ProcessPoolExecutor

    templates = corpus(args.templates)
    expected = parse_all(templates)
    rates = {"one interpreter": best_rate(parse_all, templates, args.rounds)}
    for name, make in (("InterpreterPoolExecutor", InterpreterPoolExecutor),
                       ("ProcessPoolExecutor", ProcessPoolExecutor)):
        with make(args.workers) as executor:
            run = pooled(executor, args.chunk)
            if run(templates[: args.chunk * args.workers]) != parse_all(
                    templates[: args.chunk * args.workers]) or run(templates) != expected:
                sys.exit(f"{name} gave a wrong result")
            rates[f"{name}({args.workers})"] = best_rate(run, templates, args.rounds)

    one = rates["one interpreter"]
    interpreters = rates[f"InterpreterPoolExecutor({args.workers})"]
    processes = rates[f"ProcessPoolExecutor({args.workers})"]
    record = {
        "kind": "pool_throughput", "python": sys.version.split()[0], "cpus": os.cpu_count(),
        "workers": args.workers, "templates": args.templates, "chunk": args.chunk,
        "templates_per_second": {name: round(rate) for name, rate in rates.items()},
        "interpreter_pool_vs_one_interpreter": round(interpreters / one, 2),
        "interpreter_pool_vs_process_pool": round(interpreters / processes, 2),
    }
    print(f"{args.templates} templates in chunks of {args.chunk}, {args.workers} workers,"
          f" {os.cpu_count()} CPUs, CPython {record['python']}")
    for name, rate in rates.items():
        print(f"  {name:<28} {rate:>12,.0f} templates/s  {rate / one:5.2f}x one interpreter")
    print(f"  InterpreterPoolExecutor vs ProcessPoolExecutor: {interpreters / processes:.2f}x")
    line = json.dumps(record)
    print("JSON " + line)
    if args.json:
        with open(args.json, "a") as out:
            out.write(line + "\n")


if __name__ == "__main__":
    main()
