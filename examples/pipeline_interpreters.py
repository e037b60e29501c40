"""Templates in ``concurrent.futures.InterpreterPoolExecutor`` (Python 3.14+).

Each worker is an interpreter of its own in this process, with its own GIL
and its own copy of frasolet's module state. Tasks and results travel by
pickle, as in a process pool, so a template goes with its fragments and its
tokenizer, and comes back with the same hash.

The tokenizer has to load in a subinterpreter too. The ``tokenizers``
package cannot (its extension refuses: "does not support loading in
subinterpreters"), so this example uses a small word tokenizer written in
Python; with ``tokenizers``, use a process pool instead. A class defined in
the main script, as this one is, reaches the workers under a stand-in
``__main__`` module: its objects work there, but cannot be pickled again
inside a worker. Define a tokenizer in a module of its own when a worker
has to pass it on.

Checked here: the interpreters render and tokenize as this interpreter does,
and see the same hash of the template and pickle of its fragments. On Python before 3.14
the example says so and does nothing.
"""

from __future__ import annotations

import hashlib
import pickle
import re
import sys
from collections.abc import Callable

import frasolet

TEMPLATE = "Question: [question|strip] Answer in [language|lower]:"

ROWS = [
    {"question": " Who wrote the first program? ", "language": "English"},
    {"question": "What did the engine compute?", "language": "FRENCH"},
]

OPTIONS: dict[str, Callable[[str], str]] = {"strip": str.strip, "lower": str.lower}


class WordTokenizer:
    """Words and punctuation marks, numbered in order of first sight."""

    def __init__(self) -> None:
        self.vocabulary: dict[str, int] = {}

    def encode(self, text: str) -> list[int]:
        return [
            self.vocabulary.setdefault(word, len(self.vocabulary))
            for word in re.findall(r"\w+|[^\w\s]", text)
        ]


def render(template: frasolet.PromptTemplate[WordTokenizer], row: dict[str, str]) -> str:
    pieces = []
    for fragment in template:
        value = fragment.string
        if fragment.options is not None:
            value = row[value]
            for option in fragment.options:
                value = OPTIONS[option](value)
        pieces.append(value)
    return "".join(pieces)


def encode_ids(template: frasolet.PromptTemplate[WordTokenizer], row: dict[str, str]) -> list[int]:
    return template.tokenizer.encode(render(template, row))


def digests(template: frasolet.PromptTemplate[WordTokenizer]) -> tuple[int, str]:
    """The hash of ``template`` and the digest of its fragments' pickle."""
    fragments = pickle.dumps(template.fragments, protocol=5)
    return hash(template), hashlib.sha256(fragments).hexdigest()


# The workers and their executor exist from Python 3.14 on.
if sys.version_info >= (3, 14):
    from concurrent.futures import InterpreterPoolExecutor

    def run_in_interpreters() -> None:
        template = frasolet.PromptTemplate(TEMPLATE, WordTokenizer())
        # Each task gets its own copy of the tokenizer: compare row by row with a
        # fresh copy here, since the vocabulary grows as words are seen.
        expected = [encode_ids(pickle.loads(pickle.dumps(template)), row) for row in ROWS]
        here = digests(template)
        with InterpreterPoolExecutor(2) as pool:
            ids = list(pool.map(encode_ids, [template] * len(ROWS), ROWS))
            there = list(pool.map(digests, [template] * 2))
        assert ids == expected, f"the interpreters gave {ids}, this one {expected}"
        assert there == [here] * 2, f"the interpreters saw {there}, this one {here}"
        print(
            f"InterpreterPoolExecutor: {len(ids)} rows, the ids of this interpreter; "
            f"hash {here[0]} and fragments pickle {here[1]:.16} the same in the workers"
        )


def main() -> None:
    if sys.version_info >= (3, 14):
        run_in_interpreters()
    else:
        version = sys.version.split()[0]
        print(f"InterpreterPoolExecutor needs Python 3.14 or newer; this is {version}")


if __name__ == "__main__":
    main()
