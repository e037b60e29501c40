"""The strict parse and TemplateSyntaxError.

Each way the grammar stops has a row in the table below; the property
tests check the strict parse against the lenient one over generated
templates (``test_differential.py`` checks it against the model).
"""

import copy
import pickle

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

# (template, the start of msg, pos, lineno, colno); pos in code points.
MALFORMED = [
    ('Return JSON like ["a", "b"]', "Found ',' after the mask name, expected '|' or ']'",
     17, 1, 18),
    ("Answer the question: [question and more",
     "Found the end of the text after the mask name", 21, 1, 22),
    ("[question Answer:", "Found the end of the text after the mask name", 0, 1, 1),
    ("Say hi\\nthen bye", "Found 'n' after a backslash, expected \\, [ or ]", 6, 1, 7),
    ("Path: C:\\data\\", "Found 'd' after a backslash", 8, 1, 9),
    ("Path: C:\\", "Found the end of the text after a backslash", 8, 1, 9),
    ("a [] b", "Found ']' after '[', expected a mask name", 2, 1, 3),
    ("[a [b] c]", "Found '[' after the mask name", 0, 1, 1),
    ("see [the docs](https://x.org) ]", "Found ']' outside a placeholder", 30, 1, 31),
    ("[x|,a]", "Found ',' right after '|', expected an option or ']'", 0, 1, 1),
    ("[x|a,]", "Found ']' after a separator, expected an option", 0, 1, 1),
    ("[x|a|b]", "Found '|' after an option, expected a separator or ']'", 0, 1, 1),
    ("[x|a[", "Found '[' after an option", 0, 1, 1),
    ("[x|", "Found the end of the text right after '|'", 0, 1, 1),
    # Non-ASCII text and line breaks before the error.
    ("é中😀 ]", "Found ']' outside a placeholder", 4, 1, 5),
    ("line one\nzwei\r\ndrei [x|ü,]", "Found ']' after a separator", 20, 3, 6),
    ("\n\n[]", "Found ']' after '['", 2, 3, 1),
    ("a\u2028b\\é", "Found 'é' after a backslash", 3, 1, 4),
]


@pytest.mark.parametrize("template, msg, pos, lineno, colno", MALFORMED)
def test_malformed_templates(template, msg, pos, lineno, colno):
    with pytest.raises(TemplateSyntaxError) as caught:
        frasolet.parse(template, strict=True)
    error = caught.value
    assert type(error) is TemplateSyntaxError
    assert error.msg.startswith(msg), error.msg
    assert (error.pos, error.lineno, error.colno) == (pos, lineno, colno)
    assert error.doc is template
    assert str(error) == f"{error.msg}: line {lineno} column {colno} (char {pos})"
    assert error.args == (str(error),)
    # What the lenient parse keeps is exactly the text before pos.
    kept = frasolet.parse(template[:pos], strict=True)
    assert shapes_of(frasolet.parse(template)) == shapes_of(kept)


@pytest.mark.parametrize("entry", STRICT_ENTRIES)
def test_every_entry_is_strict_on_request_only(entry):
    template = "keep [a|b] \\[x\\] ] drop"
    assert shapes_of(entry(template)) == shapes_of(entry(template, strict=False))
    with pytest.raises(TemplateSyntaxError) as caught:
        entry(template, strict=True)
    assert (caught.value.pos, caught.value.doc) == (17, template)
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


def test_restoring_a_template_is_never_strict():
    template = PromptTemplate("a", None, strict=True)
    template.__setstate__({"template": "b ] c"})
    assert shapes_of(template.fragments) == [("b ", None)]
    assert shapes_of(pickle.loads(pickle.dumps(template)).fragments) == [("b ", None)]


@given(text=st.text(st.sampled_from("ab[]|#,\\\né")))
def test_strict_equals_lenient_or_raises_where_it_stops(text):
    lenient = shapes_of(frasolet.parse(text))
    try:
        strict = shapes_of(frasolet.parse(text, strict=True))
    except TemplateSyntaxError as error:
        pos = error.pos
        assert pos < len(text)
        assert shapes_of(frasolet.parse(text[:pos])) == lenient
        assert shapes_of(frasolet.parse(text[:pos], strict=True)) == lenient
        assert error.lineno == text.count("\n", 0, pos) + 1
        assert error.colno == pos - text.rfind("\n", 0, pos)
    else:
        assert strict == lenient


class TestTemplateSyntaxError:
    def test_made_from_python_fills_the_rest(self):
        error = TemplateSyntaxError("Bad", "ab\ncdé", 5)
        assert isinstance(error, ValueError)
        assert (error.msg, error.doc, error.pos, error.lineno, error.colno) == (
            "Bad", "ab\ncdé", 5, 2, 3)
        assert str(error) == "Bad: line 2 column 3 (char 5)"
        keywords = TemplateSyntaxError(msg="Bad", doc="ab\ncdé", pos=5)
        assert str(keywords) == str(error)

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
        twin = copier(error)
        assert type(twin) is TemplateSyntaxError
        assert vars(twin) == vars(error)
        assert twin.args == error.args
        assert (twin.pos, twin.lineno, twin.colno, twin.extra) == (4, 2, 3, ["kept"])

    def test_bad_arguments(self):
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'pos'"):
            TemplateSyntaxError("m", "d")
        with pytest.raises(TypeError, match="argument 'doc'"):
            TemplateSyntaxError("m", None, 0)
        with pytest.raises(TypeError, match="argument 'pos'"):
            TemplateSyntaxError("m", "d", "0")
