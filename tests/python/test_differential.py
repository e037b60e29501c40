"""Differential tests: the extension against the pure-Python model.

Templates and fragment fields are generated with a bias towards the syntax
characters (backslash, brackets, vertical line, number sign, comma),
non-ASCII text, line breaks and long runs, and every observable form is
compared with what ``model`` computes from the rules: the fragments of a
parse (string and options), ``str``, ``repr`` and ``hash`` of every
fragment, and ``str``, ``len``, ``hash``, iteration, indexing and the state
of a ``PromptTemplate``.

The number of examples per test is ``FRASOLET_HYPOTHESIS_EXAMPLES`` (default
200, which keeps the module well under the CI budget);
``bash scripts/hardening.sh long-differential`` runs a million and more.
"""

import doctest
import os
import pickle
from pathlib import Path

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import frasolet
import model

PromptFragment = frasolet.PromptFragment
PromptTemplate = frasolet.PromptTemplate

EXAMPLES = int(os.environ.get("FRASOLET_HYPOTHESIS_EXAMPLES", "200"))

DIFFERENTIAL = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# ---------------------------------------------------------------------------
# Generators

SYNTAX = "\\[]|#,"
syntax_chars = st.sampled_from(SYNTAX)
ascii_chars = st.sampled_from("abxyz019 .:;-_'\"")
line_breaks = st.sampled_from(["\n", "\r", "\t", "\x0b", "\x0c", "\x85", "\u2028", "\x00"])
non_ascii = st.one_of(
    st.sampled_from(["é", "ß", "ü", "中", "文", "\u0301", "\u00a0", "\ufeff", "😀", "\U0010ffff"]),
    st.characters(min_codepoint=0x80, exclude_categories=("Cs",)),
)
# Syntax characters come up about three times as often as any other kind.
chars = st.one_of(syntax_chars, syntax_chars, syntax_chars, ascii_chars, ascii_chars,
                  line_breaks, non_ascii)

# Characters that may stand in a mask name or an option.
name_chars = st.one_of(ascii_chars, ascii_chars, line_breaks, non_ascii, st.just("\\"))
names = st.text(name_chars, min_size=1, max_size=8)
separators = st.text(st.sampled_from("#,"), min_size=1, max_size=3)


@st.composite
def placeholders(draw):
    """Mostly well-formed placeholders, sometimes with one thing wrong."""
    name = draw(names)
    option_part = draw(st.one_of(
        st.just(""),
        st.just("|"),
        st.lists(names, min_size=1, max_size=4).flatmap(
            lambda options: st.lists(separators, min_size=len(options) - 1,
                                     max_size=len(options) - 1).map(
                lambda seps: "|" + options[0] + "".join(s + o for s, o in zip(seps, options[1:]))
            )
        ),
    ))
    body = "[" + name + option_part + "]"
    flaw = draw(st.sampled_from(["", "", "", "", "unclosed", "trailing-sep", "leading-sep",
                                 "second-bar", "nested", "empty-name"]))
    if flaw == "unclosed":
        return body[:-1]
    if flaw == "trailing-sep":
        return body[:-1] + draw(separators) + "]"
    if flaw == "leading-sep":
        return "[" + name + "|" + draw(separators) + option_part.lstrip("|") + "]"
    if flaw == "second-bar":
        return body[:-1] + "|" + draw(names) + "]"
    if flaw == "nested":
        return "[" + name + body + "]"
    if flaw == "empty-name":
        return "[" + option_part + "]"
    return body


escapes = st.one_of(
    st.sampled_from(["\\\\", "\\[", "\\]"]),
    st.tuples(st.just("\\"), chars).map("".join),
)
text_runs = st.text(st.one_of(ascii_chars, ascii_chars, line_breaks, non_ascii,
                              st.sampled_from("|#,")), min_size=1, max_size=12)


@st.composite
def long_runs(draw):
    """A piece repeated many times: long text, long names and option lists."""
    count = draw(st.integers(min_value=16, max_value=3000))
    unit = draw(st.one_of(chars, st.sampled_from(["ab", "é", "😀", "\\[", "\\\\", "[x]", "a,",
                                                  "#", "\n", "[a|b]"])))
    shape = draw(st.sampled_from(["bare", "name", "options"]))
    if shape == "name":
        return "[" + unit * count + "]"
    if shape == "options":
        return "[x|" + ",".join([unit] * count) + "]"
    return unit * count


pieces = st.one_of(placeholders(), text_runs, placeholders(), escapes, chars, st.just("\r\n"),
                   long_runs())
templates = st.one_of(
    st.lists(pieces, max_size=10).map("".join),
    st.lists(st.one_of(placeholders(), text_runs), min_size=2, max_size=6).map("".join),
    st.text(chars, max_size=40),
)

field_texts = st.text(chars, max_size=12)
options_values = st.one_of(st.none(), st.lists(field_texts, max_size=5))
fragment_fields = st.tuples(field_texts, options_values)

tokenizers = st.sampled_from([None, "tok", 0, object()])


# ---------------------------------------------------------------------------
# Helpers


def fields(fragment):
    assert type(fragment) is PromptFragment
    string, options = fragment.string, fragment.options
    assert type(string) is str
    assert options is None or (type(options) is list and all(type(o) is str for o in options))
    return string, options


def check_fragment_forms(fragment, expected):
    """Every form of a real fragment against the model's rules."""
    string, options = expected
    assert fields(fragment) == expected
    assert str(fragment) == model.text_form(string, options)
    assert repr(fragment) == model.representation(string, options)
    assert hash(fragment) == model.fragment_hash(string, options)
    state = fragment.__getstate__()
    assert list(state.items()) == list(model.FragmentModel._make(string, options)
                                       .__getstate__().items())


def check_template(real, reference):
    """A real template against its model, through every reading operation."""
    expected = reference.fields
    text = str(reference)
    assert str(real) == text
    assert repr(real) == text
    assert len(real) == len(expected)
    assert hash(real) == model.text_hash(text)
    assert [fields(f) for f in real] == expected
    assert [fields(f) for f in real.fragments] == expected
    for index, fragment_fields in enumerate(expected):
        assert fields(real[index]) == fragment_fields
    with pytest.raises(IndexError):
        real[len(expected)]
    state = real.__getstate__()
    assert list(state.items()) == [("template", text)]


# ---------------------------------------------------------------------------
# Tests


@DIFFERENTIAL
@given(template=templates)
def test_parse_matches_model(template):
    expected = model.parse(template)
    result = frasolet.parse(template)
    assert type(result) is list
    assert len(result) == len(expected)
    for fragment, fragment_fields in zip(result, expected):
        check_fragment_forms(fragment, fragment_fields)
    # The static entries run the same operation.
    assert [fields(f) for f in PromptFragment.parse(template)] == expected
    assert [fields(f) for f in PromptTemplate.parse(template=template)] == expected


@DIFFERENTIAL
@given(template=templates, tokenizer=tokenizers)
def test_template_matches_model(template, tokenizer):
    real = PromptTemplate(template, tokenizer)
    reference = model.TemplateModel(template, tokenizer)
    assert real.tokenizer is tokenizer
    check_template(real, reference)
    # The state carries the text form, which a restore parses again; that
    # need not give the same fragments back (escapes come out bare).
    state = real.__getstate__()
    restored = PromptTemplate(None, tokenizer)
    restored_model = model.TemplateModel(None, tokenizer)
    assert restored.__setstate__(state) is None
    restored_model.__setstate__(dict(state))
    check_template(restored, restored_model)


@DIFFERENTIAL
@given(expected=fragment_fields)
def test_fragment_forms_match_model(expected):
    string, options = expected
    fragment = PromptFragment(string, options)
    check_fragment_forms(fragment, expected)
    reference = model.FragmentModel(string, options)
    assert reference.fields == expected
    copy = pickle.loads(pickle.dumps(fragment))
    check_fragment_forms(copy, expected)
    # Setting the fields and applying a state reach the same record.
    other = PromptFragment()
    other.string = string
    other.options = None if options is None else tuple(options)
    check_fragment_forms(other, expected)
    blank = PromptFragment()
    blank.__setstate__(fragment.__getstate__())
    check_fragment_forms(blank, expected)


@DIFFERENTIAL
@given(records=st.lists(fragment_fields, max_size=8), tokenizer=tokenizers)
def test_template_from_fragments_matches_model(records, tokenizer):
    real = PromptTemplate(None, tokenizer)
    reference = model.TemplateModel(None, tokenizer)
    real.fragments = [PromptFragment(s, o) for s, o in records]
    reference.fragments = [model.FragmentModel(s, o) for s, o in records]
    assert reference.fields == records
    check_template(real, reference)
    # A template's fragments can come from another template too.
    copy = PromptTemplate("", None)
    copy.fragments = real
    check_template(copy, reference)
    # Through the state, the text form is parsed again.
    real.__setstate__(real.__getstate__())
    reference.__setstate__(reference.__getstate__())
    check_template(real, reference)


def readme_template_text():
    """The README's ``template_text`` recipe, taken from its text."""
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    for snippet in doctest.DocTestParser().get_examples(readme):
        if snippet.source.startswith("def template_text("):
            namespace = {"frasolet": frasolet}
            exec(snippet.source, namespace)
            return namespace["template_text"]
    raise AssertionError("README.md defines no template_text")


template_text = readme_template_text()


@DIFFERENTIAL
@given(text=templates)
@example(text="[end]] cut")
@example(text="a\\\n[x|a#,b]\\[")
def test_strict_parse_reads_what_the_model_reads(text):
    """A strict parse gives the model's fragments when the model reads the
    whole text, and otherwise stops where the model stops, naming the character the model
    names; the README's
    template_text of the fragments parses strictly back to them."""
    length = model.read_length(text)
    expected = model.parse(text)
    try:
        fragments = frasolet.parse(text, strict=True)
    except frasolet.TemplateSyntaxError as error:
        assert (error.start, error.doc) == (length, text)
        assert length < len(text)
        assert (error.msg, error.pos) == model.stop_report(text, length)
        fragments = frasolet.parse(text[:length], strict=True)
    else:
        assert length == len(text)
    assert [(f.string, f.options) for f in fragments] == expected
    again = frasolet.parse(template_text(fragments), strict=True)
    assert [(f.string, f.options) for f in again] == expected
