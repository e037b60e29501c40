"""escape(): the template text that reads back as exactly the given text.

A str is escaped in its own form (one, two or four bytes per character), by
a scan that reads 16 bytes at a time: each form gets the escaped characters,
and the surrogates that have no UTF-8 form, at every position within and
across those blocks.
"""

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import frasolet
import model
from support import raises_exactly, shapes_of


@given(text=st.one_of(st.text(), st.text(st.sampled_from("\\[]|#,a é\n"))))
@example(text="")
@example(text="C:\\new\\")
def test_escape_reads_back_as_the_text(text):
    escaped = frasolet.escape(text)
    expected = [(text, None)] if text else []
    assert shapes_of(frasolet.parse(escaped, strict=True)) == expected
    # Only backslashes and brackets are escaped.
    assert escaped.replace("\\\\", "").replace("\\[", "").replace("\\]", "") == (
        text.replace("\\", "").replace("[", "").replace("]", ""))


def test_escape_input_rules():
    raises_exactly(TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'",
                   frasolet.escape, b"[x]")
    with pytest.raises(UnicodeEncodeError):
        frasolet.escape("a\ud800[")
    class Text(str):
        pass
    assert type(frasolet.escape(Text("ab"))) is str
    assert frasolet.escape(text="[x]") == "\\[x\\]"


# A character of each str form; the texts below hold one, so the str keeps
# that form (a surrogate makes an ASCII or Latin-1 text a two-byte one).
FORMS = [pytest.param("a", id="ascii"), pytest.param("é", id="latin-1"),
         pytest.param("中", id="two-byte"), pytest.param("🙂", id="four-byte")]


@pytest.mark.parametrize("wide", FORMS)
def test_escape_in_every_form_at_every_position(wide):
    for before in range(20):
        for after in range(20):
            for special in ("\\", "[", "]", "]\\[", "\ud7ff", "\ue000"):
                text = wide + "x" * before + special + "y" * after
                # Equal strs are of the same form: a result made too wide differs.
                assert frasolet.escape(text) == model.escape(text), (before, after, special)
            for surrogate in ("\ud800", "\udbff", "\udc00", "\udfff"):
                with pytest.raises(UnicodeEncodeError):
                    frasolet.escape(wide + "x" * before + surrogate + "[" * after)


@pytest.mark.parametrize("wide", FORMS)
def test_escape_of_long_text_in_every_form(wide):
    # Past the stack room of 8 KiB, a text is counted first and written into
    # its str directly: the same results, the same surrogate error.
    for length in (4095, 4096, 4097, 9000):
        text = (wide + "x\\[y]z" * length)[:length]
        assert frasolet.escape(text) == model.escape(text)
        plain = wide * length
        assert frasolet.escape(plain) is plain
        with pytest.raises(UnicodeEncodeError):
            frasolet.escape(text[:-1] + "\udfff")
