"""Parse templates in worker processes and send the fragments back by pickling.

A PromptFragment pickles: its state is a dict with "string" and, for a
placeholder, "options", so it comes back with equal fields, the same text form
and the same hash. A PromptTemplate does not: loading one calls the
constructor without its two arguments. Send its text form (str(template)) or
its fragments instead, and rebuild it on the other side.

The pool uses the "spawn" start method: each worker is a fresh interpreter
that imports frasolet itself, as it would on any platform.
"""

from __future__ import annotations

import multiprocessing
import pickle

import frasolet

TEMPLATES = [
    "Hi [name|Ada,Grace]!",
    r"Escapes: \[not a placeholder\] and a backslash \\.",
    "[greeting] [name|first#last], you have [count] new [item|message,messages].",
    "Unicode: é[ü|ö,ß] ok",
    "lenient: kept text [never closed",
]


def parse_in_worker(template: str) -> tuple[list[frasolet.PromptFragment], list[int]]:
    """Runs in a worker: the fragments, and their hashes as the worker sees them."""
    fragments = frasolet.parse(template)
    return fragments, [hash(fragment) for fragment in fragments]


def parse_all(
    templates: list[str], processes: int = 2
) -> list[tuple[list[frasolet.PromptFragment], list[int]]]:
    """Parses every template in a pool of worker processes, in order."""
    context = multiprocessing.get_context("spawn")
    with context.Pool(processes) as pool:
        return pool.map(parse_in_worker, templates)


def main() -> None:
    results = parse_all(TEMPLATES)
    for template, (fragments, worker_hashes) in zip(TEMPLATES, results):
        local = frasolet.parse(template)
        same_fields = [(f.string, f.options) for f in fragments] == [
            (f.string, f.options) for f in local
        ]
        # Fragment hashes do not depend on the process: no random key.
        same_hashes = worker_hashes == [hash(f) for f in local] == [hash(f) for f in fragments]
        print(f"{template!r}")
        print(f"  {len(fragments)} fragments back from a worker: {fragments}")
        print(f"  equal to a local parse: {same_fields}; same hashes: {same_hashes}")
        if not (same_fields and same_hashes):
            raise SystemExit(f"mismatch for {template!r}")

    # A template travels as its text form and is rebuilt on arrival.
    prompt = frasolet.PromptTemplate(TEMPLATES[2], tokenizer=None)
    rebuilt = frasolet.PromptTemplate(pickle.loads(pickle.dumps(str(prompt))), tokenizer=None)
    print(f"template rebuilt from its text form: {str(rebuilt) == str(prompt)}")
    try:
        pickle.loads(pickle.dumps(prompt))
    except TypeError as error:
        print(f"a pickled PromptTemplate does not load: {error}")


if __name__ == "__main__":
    main()
