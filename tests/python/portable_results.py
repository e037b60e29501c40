"""What the module answers for a fixed corpus, as a file another machine can check.

The corpus mixes the syntax characters, non-ASCII text, line breaks and
long runs whose stops fall at every offset of the scanners' blocks (x86-64
scans 16 and 64 bytes at a time, aarch64 a byte at a time). For every
template the file keeps the fragments (fields, ``str``, ``repr``, ``hash``),
the template's text, length and hash, and a pickle of both, written by this
interpreter on this machine.

    python tests/python/portable_results.py write FILE

``test_portable_results.py`` compares such a file from another architecture
with what the module here answers, and loads its pickles here.
"""

import base64
import json
import pickle
import platform
import random
import sys
from pathlib import Path

import frasolet

PIECES = (
    list("\\[]|#,")
    + list("abxyz019 .:;-_'\"")
    + ["\n", "\r", "\t", "\x00", "\x85", "\u2028", "é", "ß", "中", "\u0301", "\ufeff", "😀"]
    + ["[MASK]", "[a|b]", "[x|p#q,r]", "\\[", "\\]", "\\\\", "[", "]", "[a|", "[|]", "[a#b]"]
)
SEEDS = Path(__file__).resolve().parent.parent.parent / "fuzz" / "seeds"


def corpus():
    """The templates: short random mixes, long runs with a stop at each
    offset, and the parser fuzzer's seeds."""
    rng = random.Random(20251209)
    texts = ["".join(rng.choice(PIECES) for _ in range(rng.randrange(0, 40))) for _ in range(400)]
    for offset in range(0, 300, 7):
        for stop in ("[", "]", "\\", "[MASK|a,b]"):
            texts.append("x" * offset + stop + "é" * (offset % 5) + "y" * 70)
    seeds = sorted(path for path in SEEDS.rglob("*") if path.is_file())
    texts += [path.read_text(encoding="utf-8") for path in seeds]
    return texts


def fragment_answers(fragment):
    return [fragment.string, fragment.options, str(fragment), repr(fragment), hash(fragment)]


def answers(text):
    """Everything the module says about one template, and a pickle of it."""
    fragments = frasolet.parse(text)
    template = frasolet.PromptTemplate(text, None)
    return {
        "text": text,
        "fragments": [fragment_answers(f) for f in fragments],
        "template": [str(template), len(template), hash(template)],
        "pickle": base64.b64encode(pickle.dumps((fragments, template))).decode("ascii"),
    }


def write(path):
    results = {
        "machine": platform.machine(),
        "python": platform.python_version(),
        "results": [answers(text) for text in corpus()],
    }
    Path(path).write_text(json.dumps(results, ensure_ascii=True), encoding="ascii")


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "write":
        sys.exit(__doc__)
    write(sys.argv[2])
