"""The strict parse and TemplateSyntaxError.

Each way the grammar stops has a row in the table below (the one table of
them); the property tests check the strict parse against the lenient one
over generated templates (``test_differential.py`` checks it against the
model).
"""

import copy
import inspect
import json
import pickle
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import frasolet
from frasolet import PromptFragment, PromptTemplate, TemplateSyntaxError
from support import raises_exactly, shapes_of

STRICT_ENTRIES = [
    pytest.param(lambda text, **k: frasolet.parse(text, **k), id="parse"),
    pytest.param(lambda text, **k: PromptFragment.parse(text, **k), id="PromptFragment.parse"),
    pytest.param(lambda text, **k: PromptTemplate.parse(text, **k), id="PromptTemplate.parse"),
    pytest.param(lambda text, **k: PromptTemplate(text, None, **k).fragments, id="PromptTemplate"),
]

# (template, the start of msg, pos, start, lineno, colno), in code points:
# pos is the character the message names, start where the lenient parse stops.
MALFORMED = [
    ('Return JSON like ["a", "b"]', "Found ',' after the mask name, expected '|' or ']'",
     21, 17, 1, 22),
    ("Answer the question: [question and more",
     "Found the end of the text after the mask name", 39, 21, 1, 40),
    ("[question Answer:", "Found the end of the text after the mask name", 17, 0, 1, 18),
    ("Say hi\\nthen bye", "Found 'n' after a backslash, expected \\, [ or ]", 7, 6, 1, 8),
    ("Path: C:\\data\\", "Found 'd' after a backslash", 9, 8, 1, 10),
    ("Path: C:\\", "Found the end of the text after a backslash", 9, 8, 1, 10),
    ("a [] b", "Found ']' after '[', expected a mask name", 3, 2, 1, 4),
    ("[a [b] c]", "Found '[' after the mask name", 3, 0, 1, 4),
    ("see [the docs](https://x.org) ]", "Found ']' outside a placeholder", 30, 30, 1, 31),
    ("[x|,a]", "Found ',' right after '|', expected an option or ']'", 3, 0, 1, 4),
    ("[x|a,]", "Found ']' after a separator, expected an option", 5, 0, 1, 6),
    ("[x|a|b]", "Found '|' after an option, expected a separator or ']'", 4, 0, 1, 5),
    ("[x|a[", "Found '[' after an option", 4, 0, 1, 5),
    ("[x|", "Found the end of the text right after '|'", 3, 0, 1, 4),
    ("x [|a]", "Found '|' after '['", 3, 2, 1, 4),
    ("[", "Found the end of the text after '['", 1, 0, 1, 2),
    ("[x|a,#]", "Found ']' after a separator", 6, 0, 1, 7),
    ("[x|a,|b]", "Found '|' after a separator", 5, 0, 1, 6),
    ("[x||]", "Found '|' right after '|'", 3, 0, 1, 4),
    ("a\\\n", "Found '\\n' after a backslash", 2, 1, 1, 3),
    ("Summarise:\n[text|short,]", "Found ']' after a separator", 23, 11, 2, 13),
    # Non-ASCII text and line breaks before the error, and inside the piece.
    ("é中😀 ]", "Found ']' outside a placeholder", 4, 4, 1, 5),
    ("line one\nzwei\r\ndrei [x|ü,]", "Found ']' after a separator", 25, 20, 3, 11),
    ("\n\n[]", "Found ']' after '['", 3, 2, 3, 2),
    ("a\u2028b\\é", "Found 'é' after a backslash", 4, 3, 1, 5),
    ("[a\nb|c|d]", "Found '|' after an option", 6, 0, 2, 4),
]


@pytest.mark.parametrize("template, msg, pos, start, lineno, colno", MALFORMED)
def test_malformed_templates(template, msg, pos, start, lineno, colno):
    with pytest.raises(TemplateSyntaxError) as caught:
        frasolet.parse(template, strict=True)
    error = caught.value
    assert type(error) is TemplateSyntaxError
    assert error.msg.startswith(msg), error.msg
    assert (error.pos, error.start, error.lineno, error.colno) == (pos, start, lineno, colno)
    assert error.doc is template
    assert str(error) == f"{error.msg}: line {lineno} column {colno} (char {pos})"
    assert error.args == (str(error),)
    # What the lenient parse keeps is exactly the text before start.
    kept = frasolet.parse(template[:start], strict=True)
    assert shapes_of(frasolet.parse(template)) == shapes_of(kept)


@pytest.mark.parametrize("entry", STRICT_ENTRIES)
def test_every_entry_is_strict_on_request_only(entry):
    template = "keep [a|b] \\[x\\] ] drop"
    assert shapes_of(entry(template)) == shapes_of(entry(template, strict=False))
    with pytest.raises(TemplateSyntaxError) as caught:
        entry(template, strict=True)
    assert (caught.value.pos, caught.value.start, caught.value.doc) == (17, 17, template)
    assert shapes_of(entry("[a|b] c", strict=True)) == [("a", ["b"]), (" c", None)]


@pytest.mark.parametrize("entry", STRICT_ENTRIES)
@pytest.mark.parametrize("value", [1, 0, None, "yes", 1.0])
def test_strict_must_be_a_bool(entry, value):
    raises_exactly(TypeError,
                   f"argument 'strict': '{type(value).__name__}' object cannot be converted "
                   "to 'PyBool'", entry, "a", strict=value)


def test_strict_is_keyword_only():
    raises_exactly(TypeError, "parse() takes 1 positional arguments but 2 were given",
                   frasolet.parse, "a", True)
    raises_exactly(TypeError,
                   "PromptTemplate.__new__() takes 2 positional arguments but 3 were given",
                   PromptTemplate, "a", None, True)


@pytest.mark.parametrize("entry, arguments", [
    (frasolet.parse, ("x",)), (PromptFragment.parse, ("x",)), (PromptTemplate.parse, ("x",)),
    (PromptTemplate, ("x", None)),
], ids=["parse", "PromptFragment.parse", "PromptTemplate.parse", "PromptTemplate"])
def test_signatures_show_strict(entry, arguments):
    signature = inspect.signature(entry)
    assert signature.bind(*arguments, strict=True).arguments["strict"] is True
    assert signature.parameters["strict"].kind is inspect.Parameter.KEYWORD_ONLY
    with pytest.raises(TypeError):
        signature.bind(*arguments, True)


def test_restoring_a_template_is_never_strict():
    template = PromptTemplate("a", None, strict=True)
    template.__setstate__({"template": "b ] c"})
    assert shapes_of(template.fragments) == [("b ", None)]
    assert shapes_of(pickle.loads(pickle.dumps(template)).fragments) == [("b ", None)]


def readable(text):
    try:
        frasolet.parse(text, strict=True)
    except TemplateSyntaxError:
        return False
    return True


# What may follow a prefix of a piece to make it whole.
COMPLETIONS = ["", "]", "a]", "\\"]


@given(text=st.text(st.sampled_from("ab[]|#,\\\né")))
def test_strict_equals_lenient_or_raises_at_the_offending_character(text):
    lenient = shapes_of(frasolet.parse(text))
    try:
        strict = shapes_of(frasolet.parse(text, strict=True))
    except TemplateSyntaxError as error:
        start, pos = error.start, error.pos
        assert start <= pos <= len(text) and start < len(text)
        assert shapes_of(frasolet.parse(text[:start])) == lenient
        assert shapes_of(frasolet.parse(text[:start], strict=True)) == lenient
        # Everything before pos can still become a piece; pos's character cannot.
        assert any(readable(text[start:pos] + tail) for tail in COMPLETIONS)
        if pos < len(text):
            assert not any(readable(text[start:pos + 1] + tail) for tail in COMPLETIONS)
        assert error.lineno == text.count("\n", 0, pos) + 1
        assert error.colno == pos - text.rfind("\n", 0, pos)
    else:
        assert strict == lenient


# (template, the note a strict parse adds): the line of pos as a terminal
# shows it (wide characters two columns, tabs to the next multiple of 8, no
# line break), '~' under the piece from start and '^' under pos; a long line
# is clipped around pos.
LONG = "x" * 5000 + "]" + "y" * 5000
NOTES = [
    ("説明：[名前|a,]", "    説明：[名前|a,]\n" + " " * 10 + "~" * 8 + "^"),
    ("\tkey:\t[a|b|c]", "    " + " " * 8 + "key:" + " " * 4 + "[a|b|c]\n" + " " * 20 + "~~~~^"),
    ("first\r\n[x|a,]\r\nlast", "    [x|a,]\n    ~~~~~^"),
    ("a\r[x|,]\rb", "    [x|,]\n    ~~~^"),
    ("a\n[x|", "    [x|\n    ~~~^"),
    (LONG, "    ..." + LONG[4964:5036] + "...\n" + " " * 43 + "^"),
    ("word " * 2000 + "[x|a|b]", "    ..." + ("word " * 2000 + "[x|a|b]")[9935:] + "\n"
     + " " * 72 + "~~~~^"),
]
NOTE_OF_COPIED = "    y [a|b\n      ~~~~^"


@pytest.mark.parametrize("template, note", NOTES)
def test_the_note_marks_the_offending_character(template, note):
    with pytest.raises(TemplateSyntaxError) as caught:
        frasolet.parse(template, strict=True)
    assert caught.value.__notes__ == [note]
    assert "\n" not in str(caught.value)


class TestTemplateSyntaxError:
    def test_made_from_python_fills_the_rest(self):
        error = TemplateSyntaxError("Bad", "ab\ncdé", 5)
        assert isinstance(error, ValueError)
        assert (error.msg, error.doc, error.pos, error.lineno, error.colno) == (
            "Bad", "ab\ncdé", 5, 2, 3)
        assert str(error) == "Bad: line 2 column 3 (char 5)"
        keywords = TemplateSyntaxError(msg="Bad", doc="ab\ncdé", pos=5)
        assert str(keywords) == str(error)
        assert (error.start, TemplateSyntaxError("Bad", "ab", 2, 1).start) == (5, 1)

    @pytest.mark.parametrize("doc", ["abc", "a\nbc"])
    @pytest.mark.parametrize("pos", [sys.maxsize, sys.maxsize + 10, 4, 3, 0, -1])
    def test_lines_and_columns_of_any_pos_are_json_s(self, doc, pos):
        error = TemplateSyntaxError("m", doc, pos)
        expected = json.JSONDecodeError("m", doc, pos)
        assert (error.lineno, error.colno, str(error)) == (
            expected.lineno, expected.colno, str(expected))

    @pytest.mark.parametrize("copier", [
        *(pytest.param(lambda e, p=p: pickle.loads(pickle.dumps(e, p)), id=f"pickle{p}")
          for p in range(pickle.HIGHEST_PROTOCOL + 1)),
        pytest.param(copy.copy, id="copy"),
        pytest.param(copy.deepcopy, id="deepcopy"),
    ])
    def test_copies_keep_every_attribute(self, copier):
        try:
            frasolet.parse("x\ny [a|b", strict=True)
        except TemplateSyntaxError as raised:
            error = raised
        error.extra = ["kept"]
        error.__notes__.append("a note of the caller")
        twin = copier(error)
        assert type(twin) is TemplateSyntaxError
        assert vars(twin) == vars(error)
        assert twin.args == error.args
        assert (twin.pos, twin.start, twin.lineno, twin.colno, twin.extra) == (8, 4, 2, 7, ["kept"])
        assert twin.__notes__ == [NOTE_OF_COPIED, "a note of the caller"]

    def test_bad_arguments(self):
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'pos'"):
            TemplateSyntaxError("m", "d")
        with pytest.raises(TypeError, match="argument 'doc'"):
            TemplateSyntaxError("m", None, 0)
        with pytest.raises(TypeError, match="argument 'pos'"):
            TemplateSyntaxError("m", "d", "0")
        with pytest.raises(ValueError, match="argument 'start'"):
            TemplateSyntaxError("m", "d", 0, 1)
