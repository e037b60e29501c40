"""The long-input workloads whose cost must grow linearly with their size.

Run as a script (by test_bad_inputs.py, under valgrind's callgrind), it runs
each operation once on a small and once on a large input, and calls
``os.getppid()`` right before and right after each run. The test has
callgrind dump its counts on every entry to ``getppid``, which nothing else
here calls, so every second part of the profile holds the instructions of
one run: a count of work done, the same however loaded the machine is.
"""

import os
import sys

import frasolet

PromptFragment = frasolet.PromptFragment
PromptTemplate = frasolet.PromptTemplate

SMALL, LARGE = 4_000, 64_000  # sixteen times the size


def make_text(kind, count):
    if kind == "placeholders":
        return "[a|b]" * count
    if kind == "escapes":
        return "\\[" * count
    if kind == "options":
        return "[x|" + "o," * count + "o]"
    if kind == "separators":
        return "[x|a" + ",#" * count + "b]"
    if kind == "name":
        return "[" + "n" * (8 * count) + "]"
    if kind == "mixed-text":
        return "é a|b#c, " * count
    raise AssertionError(kind)


def fragments_write(count):
    fragments = [PromptFragment("a", ["b"])] * count
    template = PromptTemplate(None, None)
    return lambda: setattr(template, "fragments", fragments)


def text_operation(run):
    return lambda text: (lambda: run(text))


def template_operation(run):
    def prepare(text):
        template = PromptTemplate(text, None)
        return lambda: run(template)

    return prepare


OPERATIONS = {
    "parse": text_operation(frasolet.parse),
    "construct": text_operation(lambda text: PromptTemplate(text, None)),
    "text-form": template_operation(str),
    "hash": template_operation(hash),
    "state": template_operation(lambda template: template.__getstate__()),
    "fragments": template_operation(lambda template: template.fragments),
    "iterate": template_operation(list),
}

# (kind of input, operation): each prepares the run of one size.
CASES = {
    (kind, operation): lambda count, kind=kind, operation=operation: OPERATIONS[operation](
        make_text(kind, count))
    for kind, operation in [
        ("placeholders", "parse"), ("placeholders", "construct"), ("placeholders", "text-form"),
        ("placeholders", "hash"), ("placeholders", "state"), ("placeholders", "fragments"),
        ("placeholders", "iterate"), ("escapes", "construct"), ("options", "parse"),
        ("options", "text-form"), ("separators", "construct"), ("name", "construct"),
        ("mixed-text", "parse"),
    ]
}
CASES["fragments", "write"] = fragments_write


def main():
    for prepare in CASES.values():
        for count in (SMALL, LARGE):
            run = prepare(count)
            os.getppid()
            run()
            os.getppid()
    return 0


if __name__ == "__main__":
    sys.exit(main())
