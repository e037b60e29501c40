"""The same answers on every architecture, and pickles that cross them.

Given the file of another machine's answers (``portable_results.py write``)
in ``FRASOLET_OTHER_ARCH_RESULTS``, every template of its corpus must parse
here to the same fragments, text forms and hash values, and every pickle it
wrote must load here to equal objects. ``bash scripts/run.sh test`` runs
this both ways between x86-64 and aarch64 under emulation.
"""

import base64
import json
import os
import pickle
from pathlib import Path

import pytest

import frasolet
from portable_results import answers, fragment_answers
from support import shapes, shapes_of

OTHER = os.environ.get("FRASOLET_OTHER_ARCH_RESULTS")

pytestmark = pytest.mark.skipif(
    not OTHER, reason="no other machine's answers given (FRASOLET_OTHER_ARCH_RESULTS)"
)


@pytest.fixture(scope="module")
def other():
    return json.loads(Path(OTHER).read_text(encoding="ascii"))


def test_same_fragments_text_forms_and_hashes(other):
    mismatches = []
    for theirs in other["results"]:
        ours = answers(theirs["text"])
        for key in ("fragments", "template"):
            if ours[key] != theirs[key]:
                mismatches.append((theirs["text"], key, theirs[key], ours[key]))
    assert not mismatches, f"answers of {other['machine']} differ here: {mismatches[:3]}"
    assert len(other["results"]) > 500


def test_pickles_of_the_other_machine_load(other):
    for theirs in other["results"]:
        fragments, template = pickle.loads(base64.b64decode(theirs["pickle"]))
        expected = frasolet.parse(theirs["text"])
        assert shapes_of(fragments) == shapes_of(expected)
        assert [fragment_answers(f) for f in fragments] == theirs["fragments"]
        assert isinstance(template, frasolet.PromptTemplate)
        assert shapes(template) == shapes(frasolet.PromptTemplate(theirs["text"], None))
        assert [str(template), len(template), hash(template)] == theirs["template"]
