"""What frasolet is timed against, and the checks that each one computes the
same thing as frasolet on a workload."""

import dataclasses
import re
import string

import frasolet

# ---- a pure-Python parser of the same grammar, as a user would write it ----

_PIECE = re.compile(
    r"""
      \\(?P<escape>[\\\[\]])
    | \[(?P<name>[^\[\]|\#,]+)
        (?:\|(?P<options>[^\[\]|\#,]+(?:[\#,]+[^\[\]|\#,]+)*)?)?
      \]
    | (?P<text>[^\\\[\]]+)
    """,
    re.VERBOSE,
)
_SEPARATORS = re.compile(r"[#,]+")


def re_parse(template):
    """Fragments as (string, options) pairs; options is None for text.

    Reads pieces for as long as one matches at the current position and
    drops the rest, merging adjacent text and escapes into one fragment.
    """
    fragments = []
    text = []
    position = 0
    end = len(template)
    match = _PIECE.match
    while position < end:
        piece = match(template, position)
        if piece is None:
            break
        escape, name, options, run = piece.groups()
        if name is None:
            text.append(run if escape is None else escape)
        else:
            if text:
                fragments.append(("".join(text), None))
                text = []
            fragments.append((name, [] if options is None else _SEPARATORS.split(options)))
        position = piece.end()
    if text:
        fragments.append(("".join(text), None))
    return fragments


# ---- string.Formatter on the equivalent format string ------------------------


def formatter_parse(format_string):
    return list(string.Formatter().parse(format_string))


# ---- a parsed template kept in pure Python, for walking it ------------------


class Frag:
    __slots__ = ("string", "options")

    def __init__(self, string, options):
        self.string = string
        self.options = options


class CopyingTemplate:
    """A template as a user would keep it in Python with frasolet's copy
    rules: every walk hands out new fragment objects, each with its own copy
    of the option list."""

    def __init__(self, fragments):
        self._records = [(f.string, f.options) for f in fragments]

    def __iter__(self):
        for text, options in self._records:
            yield Frag(text, None if options is None else list(options))


@dataclasses.dataclass(slots=True)
class SlotRecord:
    string: str
    options: list | None


def slot_records(fragments):
    """The fragments as a plain list of slotted dataclasses: no copies."""
    return [SlotRecord(f.string, f.options) for f in fragments]


# ---- agreement ----------------------------------------------------------------


def frasolet_pairs(template):
    return [(f.string, f.options) for f in frasolet.parse(template)]


def check_agreement(name, template, format_string):
    """Raises AssertionError unless every parser reads the same template.

    The re parser must give exactly frasolet's fragments. string.Formatter
    must find the same fields, in order, with the options after the colon,
    and the same literal text between them.
    """
    expected = frasolet_pairs(template)
    got = re_parse(template)
    assert got == expected, f"{name}: the re parser disagrees with frasolet"

    template_object = frasolet.PromptTemplate(template, None)
    assert len(template_object) == len(expected), f"{name}: PromptTemplate length"

    fields = []
    literal = []
    frasolet_literal = []
    for text, field, format_part, _conversion in formatter_parse(format_string):
        literal.append(text)
        if field is not None:
            fields.append((field, format_part))
            literal.append("\0")
    for text, options in expected:
        if options is None:
            frasolet_literal.append(text.replace("[", "{").replace("]", "}"))
        else:
            frasolet_literal.append("\0")
    expected_fields = [
        (text, ",".join(options)) for text, options in expected if options is not None
    ]
    # The part after the colon keeps the separators as written; compare lists.
    assert [(f, _SEPARATORS.split(o) if o else []) for f, o in fields] == [
        (f, o.split(",") if o else []) for f, o in expected_fields
    ], f"{name}: string.Formatter finds other fields"
    assert "".join(literal) == "".join(frasolet_literal), f"{name}: string.Formatter literal text"
