"""The str maker: every str the module hands out is made from UTF-8 without a
decode, by an ASCII copy or by measuring and widening. Each case goes in as a
fragment's string and must come back equal, which for a str also means of the
same kind (1, 2 or 4 bytes a code point), around the word edges the maker reads
at (7, 8 and 9 bytes, and a tail after whole words)."""

import pytest

import frasolet

WIDEST = {
    "\x7f": "ASCII",
    "\x80": "Latin-1, two bytes",
    "\xff": "Latin-1, widest",
    "\u0100": "two-byte kind, narrowest (lead 0xC4)",
    "\u07ff": "two-byte kind, two bytes",
    "\u0800": "two-byte kind, three bytes",
    "\uffff": "two-byte kind, widest",
    "\U00010000": "four-byte kind, narrowest (lead 0xF0)",
    "\U0010ffff": "four-byte kind, widest",
}
PADDING = [(0, 0), (0, 7), (6, 0), (7, 0), (7, 1), (8, 8), (15, 0), (9, 6), (16, 3)]
CASES = [
    pytest.param("a" * before + char + "z" * after, id=f"{name}-{before}-{after}")
    for char, name in WIDEST.items()
    for before, after in PADDING
] + [
    pytest.param("", id="empty"),
    pytest.param("q", id="one-character"),
    pytest.param("abcdefgh", id="one-word"),
    pytest.param("\xe9\u4e2d\U0001f600a\u00df" * 3, id="mixed-widths"),
    pytest.param("\u4e2d\u6587" * 9 + "x", id="three-byte-run"),
    pytest.param("a\x00b\x00" * 5, id="nul-bytes"),
]


@pytest.mark.parametrize("text", CASES)
def test_str_comes_back_equal(text):
    made = frasolet.PromptFragment(text).string
    assert made == text and len(made) == len(text)
    assert made.encode("utf-8") == text.encode("utf-8")


@pytest.mark.parametrize("text", [case for case in CASES if case.values[0]])
def test_parsed_pieces_come_back_equal(text):
    # Placeholder and option texts are cut out of the template at ASCII bytes.
    fragments = frasolet.parse(f"{text}[{text}|{text},{text}]")
    assert [(f.string, f.options) for f in fragments][-1] == (text, [text, text])
