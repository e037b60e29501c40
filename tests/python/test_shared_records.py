"""A template, its iterators and the fragments they hand out share records
until one of them writes: every write must leave the other holders as they
were, and a fragment must keep only its own record alive."""

import gc
import sys
import tracemalloc

import pytest

import frasolet
from frasolet import PromptFragment, PromptTemplate
from support import fields, shapes, shapes_of

TEXT = "Hi [name|a,b] and [x] ünï 😀[y]"

# Ways to get a fragment out of a template.
HANDED_OUT = {
    "iteration": lambda t: list(t)[1],
    "subscript": lambda t: t[1],
    "fragments": lambda t: t.fragments[1],
}

# Writes of a fragment, and the fields each leaves.
WRITES = {
    "string": (lambda f: setattr(f, "string", "new"), ("new", ["a", "b"])),
    "options": (lambda f: setattr(f, "options", ["c"]), ("name", ["c"])),
    "options None": (lambda f: setattr(f, "options", None), ("name", None)),
    "state": (lambda f: f.__setstate__({"string": "s", "options": []}), ("s", [])),
}


@pytest.mark.parametrize("write", WRITES)
@pytest.mark.parametrize("source", HANDED_OUT)
def test_a_write_of_a_handed_out_fragment_changes_only_that_fragment(source, write):
    template = PromptTemplate(TEXT, None)
    before = shapes(template)
    iterator = iter(template)  # made before the write: must not see it
    fragment = HANDED_OUT[source](template)
    sibling = HANDED_OUT[source](template)  # shares the same record
    change, expected = WRITES[write]
    change(fragment)
    assert fields(fragment) == expected
    assert fields(sibling) == before[1]
    assert shapes(template) == before
    assert shapes_of(iterator) == before
    assert str(template) == TEXT and hash(template) == hash(PromptTemplate(TEXT, None))


def test_a_write_of_a_fragment_given_to_a_template_leaves_the_template():
    parsed = frasolet.parse(TEXT)  # records kept inside their objects
    made = PromptFragment("made", ["o"])
    template = PromptTemplate(None, None)
    template.fragments = parsed + [made]
    copy = PromptTemplate(None, None)
    copy.fragments = template  # shares the records of `template`
    expected = shapes_of(parsed) + [("made", ["o"])]
    for fragment in parsed + [made]:
        fragment.string = "changed"
        fragment.options = None
    assert shapes(template) == shapes(copy) == expected


def test_a_write_of_the_template_leaves_what_it_handed_out():
    template = PromptTemplate(TEXT, None)
    before = shapes(template)
    fragment, iterator = template[1], iter(template)
    template.fragments = [PromptFragment("other")]
    template.__setstate__({"template": "[z]"})
    assert fields(fragment) == before[1]
    assert shapes_of(iterator) == before


def test_a_fragment_keeps_only_its_own_record_alive():
    # 2 MiB of text in 4 KiB fragments; one fragment outlives the template.
    text = ("w" * 4093 + "[p]") * 512
    gc.collect()
    tracemalloc.start()
    try:
        template = PromptTemplate(text, None)
        kept = template[2]
        list(template)
        del template
        gc.collect()
        held = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert kept.string == "w" * 4093
    assert held < 64 * 1024, held


# Characters at the edges of each storage width of a str.
EDGES = ["", "a", "\x7f", "\x80", "\xff", "\u0100", "\uffff", "\U00010000", "\U0010ffff"]
MIXED = [a + b + "abcdefgh" + b for a in EDGES for b in EDGES[1:]]


def test_strings_made_again_from_a_kept_shape_are_equal():
    for text in EDGES + MIXED:
        template = PromptTemplate(text + "[" + (text or "n") + "]", None)
        expected = ([text] if text else []) + [text or "n"]
        for _ in range(3):  # the first read learns the shape, the later ones use it
            assert [f.string for f in template] == expected, ascii(text)


class Kept(PromptFragment):
    pass


def test_released_blocks_serve_only_plain_fragments():
    """Fragments of every kind are released just before a walk makes its own:
    parsed ones (their record inside their block), instances of a subclass
    (collected, with a dict), constructed ones and ones a template handed out.
    A walk takes released blocks back: only those of plain instances fit, and
    every fragment it makes must come out whole, with memory flat over rounds."""
    template = PromptTemplate(TEXT, None)
    expected = shapes(template)

    def one_round():
        released = [frasolet.parse(TEXT), [Kept("k", ["o"]) for _ in range(40)],
                    [PromptFragment("p", ["q"]) for _ in range(40)], list(template)]
        del released
        assert [(f.string, f.options) for f in template] == expected
        held = list(template)
        assert shapes_of(held) == expected

    one_round()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(300):
        one_round()
    gc.collect()
    assert sys.getallocatedblocks() - before < 64
