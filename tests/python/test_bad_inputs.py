"""Hostile and extreme inputs at every entry of the module.

* lone surrogates in every text argument, keyword name and dictionary key;
* subclasses of str, list and dict (and of the module's own classes) that
  override methods: values are read directly where the rules say so, and
  through the protocols where the rules say that;
* types whose ``__qualname__`` cannot be read as a str;
* sequences whose ``__len__`` fails or lies, whose iteration raises midway
  or yields the wrong kinds, and that reach back into the object;
* ``__index__`` returning huge, negative or non-int values;
* a 100 MB template, a million placeholders, and work that grows linearly
  with long inputs (instructions counted under callgrind).

Every failing call is also checked for what it leaves behind.
"""

import gc
import operator
import os
import re
import shutil
import subprocess
import sys

import pytest

import frasolet
import linear_work
import model
from support import Index, fields, interpreter_message, raises_exactly, shapes

PromptFragment = frasolet.PromptFragment
PromptTemplate = frasolet.PromptTemplate


class Boom(Exception):
    pass


# ---------------------------------------------------------------------------
# Lone surrogates

SURROGATE_TEXTS = ["\ud800", "a\udfff", "x\udc80y", "[a|\ud83d]"]


def fresh():
    return PromptFragment("keep", ["k"]), PromptTemplate("t[k]", None)


TEXT_SITES = {
    "parse": lambda f, t, s: frasolet.parse(s),
    "parse-keyword": lambda f, t, s: frasolet.parse(template=s),
    "fragment-parse": lambda f, t, s: PromptFragment.parse(s),
    "template-parse": lambda f, t, s: PromptTemplate.parse(s),
    "fragment-string": lambda f, t, s: PromptFragment(s),
    "fragment-string-keyword": lambda f, t, s: PromptFragment(string=s),
    "fragment-option": lambda f, t, s: PromptFragment("a", ["ok", s]),
    "set-string": lambda f, t, s: setattr(f, "string", s),
    "set-options-item": lambda f, t, s: setattr(f, "options", ("ok", s)),
    "set-options-str": lambda f, t, s: setattr(f, "options", s),
    "fragment-state-string": lambda f, t, s: f.__setstate__({"string": s}),
    "fragment-state-options": lambda f, t, s: f.__setstate__({"options": ["ok", s]}),
    "fragment-state-key": lambda f, t, s: f.__setstate__({s: "x"}),
    "template": lambda f, t, s: PromptTemplate(s, None),
    "template-keyword": lambda f, t, s: PromptTemplate(tokenizer=None, template=s),
    "template-state": lambda f, t, s: t.__setstate__({"template": s}),
    "template-state-key": lambda f, t, s: t.__setstate__({s: "x"}),
}


@pytest.mark.parametrize("text", SURROGATE_TEXTS, ids=ascii)
@pytest.mark.parametrize("site", TEXT_SITES)
def test_lone_surrogate_in_text_argument(site, text):
    fragment, template = fresh()
    error = raises_exactly(UnicodeEncodeError, None, TEXT_SITES[site], fragment, template, text)
    # The interpreter's own error, unchanged: no argument prefix.
    assert error.encoding == "utf-8"
    assert error.reason == "surrogates not allowed"
    assert not str(error).startswith("argument ")
    assert fields(fragment) == ("keep", ["k"])
    assert shapes(template) == [("t", None), ("k", [])]


def test_surrogate_key_after_applied_entries():
    fragment = PromptFragment("z")
    raises_exactly(UnicodeEncodeError, None,
                   lambda: fragment.__setstate__({"string": "a", "\udcff": 1, "options": ["b"]}))
    assert fields(fragment) == ("a", None)
    template = PromptTemplate("old", None)
    raises_exactly(UnicodeEncodeError, None,
                   template.__setstate__, {"template": "[n]", "\ud800": 0})
    assert shapes(template) == [("n", [])]


KEYWORD_SITES = {
    "parse()": frasolet.parse,
    "PromptFragment.parse()": PromptFragment.parse,
    "PromptTemplate.parse()": PromptTemplate.parse,
    "PromptFragment.__new__()": PromptFragment,
    "PromptTemplate.__new__()": lambda **kw: PromptTemplate("a", None, **kw),
    "PromptFragment.__getstate__()": PromptFragment("x").__getstate__,
    "PromptFragment.__setstate__()": PromptFragment("x").__setstate__,
    "PromptTemplate.__getstate__()": PromptTemplate("x", None).__getstate__,
    "PromptTemplate.__setstate__()": PromptTemplate("x", None).__setstate__,
}

# Keyword names and how the message shows them.
ODD_KEYWORDS = [
    ("\ud800", "\ufffd\ufffd\ufffd"),
    ("a\udcffb", "a\ufffd\ufffd\ufffdb"),
    ("\udfff\ud800", "\ufffd" * 6),
    ("a\x00b", "a\x00b"),
    ("\x00", "\x00"),
    ("tem\x00plate", "tem\x00plate"),
    ("é中😀", "é中😀"),
]


@pytest.mark.parametrize("keyword, shown", ODD_KEYWORDS, ids=ascii)
@pytest.mark.parametrize("display", KEYWORD_SITES)
def test_odd_keyword_names_in_messages(display, keyword, shown):
    call = KEYWORD_SITES[display]
    raises_exactly(TypeError, f"{display} got an unexpected keyword argument '{shown}'",
                   lambda: call(**{keyword: 1}))


# ---------------------------------------------------------------------------
# Subclasses that override methods


class LoudStr(str):
    """A str whose every method would fail if the module called it."""

    def _refuse(self, *args, **kwargs):
        raise Boom("str method called")

    __str__ = __repr__ = __format__ = encode = __iter__ = __len__ = _refuse
    __getitem__ = __contains__ = __add__ = __mul__ = __bool__ = _refuse
    __eq__ = __ne__ = __lt__ = lambda self, other: False  # noqa: E731
    __hash__ = str.__hash__


class LoudDict(dict):
    """A dict whose every method would fail if the module called it."""

    def _refuse(self, *args, **kwargs):
        raise Boom("dict method called")

    items = keys = values = get = __iter__ = __getitem__ = __contains__ = _refuse
    __len__ = __repr__ = copy = pop = _refuse


def test_str_subclass_is_read_by_value_everywhere():
    template = LoudStr("a[b|c#d]\\[e")
    expected = [("a", None), ("b", ["c", "d"]), ("[e", None)]
    for parse in (frasolet.parse, PromptFragment.parse, PromptTemplate.parse):
        result = [fields(f) for f in parse(template)]
        assert result == expected
    built = PromptTemplate(template, None)
    assert shapes(built) == expected
    fragment = PromptFragment(LoudStr("s"), [LoudStr("o1"), "o2"])
    assert fields(fragment) == ("s", ["o1", "o2"])
    fragment.string = LoudStr("t")
    fragment.options = (LoudStr("p"),)
    assert fields(fragment) == ("t", ["p"])
    fragment.__setstate__({LoudStr("string"): LoudStr("u"), LoudStr("options"): [LoudStr("q")]})
    assert fields(fragment) == ("u", ["q"])
    built.__setstate__({LoudStr("template"): LoudStr("[k]")})
    assert shapes(built) == [("k", [])]
    # What comes back is always an exact str.
    for value in (fragment.string, *fragment.options, str(fragment), repr(fragment)):
        assert type(value) is str


def test_str_subclass_keyword_names_bind_by_value():
    assert [fields(f) for f in frasolet.parse(**{LoudStr("template"): "x"})] == [("x", None)]
    fragment = PromptFragment(**{LoudStr("option"): ["o"], LoudStr("string"): "s"})
    assert fields(fragment) == ("s", ["o"])
    template = PromptTemplate(**{LoudStr("tokenizer"): 1, LoudStr("template"): "t"})
    assert template.tokenizer == 1 and str(template) == "t"


def test_unknown_str_subclass_keyword_is_shown_through_str():
    # The message shows the keyword through str(), which a subclass defines.
    class Shown(str):
        def __str__(self):
            return "shown"

        __hash__ = str.__hash__

    raises_exactly(TypeError, "parse() got an unexpected keyword argument 'shown'",
                   lambda: frasolet.parse(**{Shown("hidden"): 1}))


@pytest.mark.parametrize("state_class", [LoudDict, dict])
def test_dict_subclass_state_is_walked_directly(state_class):
    fragment = PromptFragment()
    fragment.__setstate__(state_class([("options", ["a"]), ("other", 1), ("string", "s")]))
    assert fields(fragment) == ("s", ["a"])
    template = PromptTemplate("", None)
    template.__setstate__(state_class([("x", 0), ("template", "[m|n]")]))
    assert shapes(template) == [("m", ["n"])]
    # Entries are walked in storage order: a failure keeps what came before.
    fragment = PromptFragment("z")
    raises_exactly(TypeError, "'int' object cannot be converted to 'Sequence'",
                   lambda: fragment.__setstate__(state_class([("string", "a"), ("options", 5)])))
    assert fields(fragment) == ("a", None)


def test_dict_subclass_tokenizer_is_never_touched():
    tokenizer = LoudDict(a=1)
    template = PromptTemplate("[x|y]", tokenizer)
    assert template.tokenizer is tokenizer
    assert (str(template), len(template), template.__getstate__()) == ("[x|y]", 1,
                                                                       {"template": "[x|y]"})
    hash(template)
    template.tokenizer = LoudDict()
    assert type(template.tokenizer) is LoudDict


def test_list_subclass_option_goes_through_iteration():
    # The constructor checks for a list, then reads it as a sequence: its
    # own __iter__ gives the items, and a failing __len__ is ignored.
    class Reversed(list):
        def __iter__(self):
            return iter(["y", "x"])

        def __len__(self):
            raise Boom("__len__")

        def __getitem__(self, index):
            raise Boom("__getitem__")

    assert fields(PromptFragment("s", Reversed(["x", "y"]))) == ("s", ["y", "x"])

    class Plain(list):
        def __len__(self):
            raise Boom("__len__")

        def __getitem__(self, index):
            raise Boom("__getitem__")

    assert fields(PromptFragment("s", Plain(["a", "b"]))) == ("s", ["a", "b"])
    fragment = PromptFragment()
    fragment.options = Plain(["c"])
    assert fragment.options == ["c"]


def test_module_class_subclasses_keep_reading_the_record():
    class Sneaky(PromptFragment):
        string = property(lambda self: "fake")
        options = property(lambda self: ["fake"])

        def __str__(self):
            return "fake"

        def __getstate__(self):
            return {"string": "fake"}

    sneaky = Sneaky("real", ["r"])
    assert hash(sneaky) == model.fragment_hash("real", ["r"])
    assert PromptFragment.__getstate__(sneaky) == {"string": "real", "options": ["r"]}
    assert PromptFragment.__str__(sneaky) == "[real|r]"
    template = PromptTemplate(None, None)
    template.fragments = [sneaky]
    assert shapes(template) == [("real", ["r"])]

    class Loud(PromptTemplate):
        def __str__(self):
            return "fake"

        def __len__(self):
            return 99

    loud = Loud("a[b]", None)
    assert hash(loud) == model.text_hash("a[b]")
    assert loud.__getstate__() == {"template": "a[b]"}
    assert PromptTemplate.__len__(loud) == 2
    # As a value, the subclass is read through its protocols: its __len__
    # only sizes the result and the module's own iteration gives the items.
    copy = PromptTemplate(None, None)
    copy.fragments = loud
    assert shapes(copy) == [("a", None), ("b", [])]


# ---------------------------------------------------------------------------
# Types whose __qualname__ cannot be read


def qualname_class(behaviour):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                return behaviour()
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    return Odd


class StopReading(BaseException):
    pass


UNKNOWN = "<failed to extract type name>"


def _raise(exc):
    def behaviour():
        raise exc

    return behaviour


QUALNAMES = [
    pytest.param(_raise(ValueError("no")), UNKNOWN, id="raises"),
    pytest.param(_raise(StopReading()), UNKNOWN, id="raises-base-exception"),
    pytest.param(lambda: 5, UNKNOWN, id="int"),
    pytest.param(lambda: None, UNKNOWN, id="none"),
    pytest.param(lambda: b"bytes", UNKNOWN, id="bytes"),
    pytest.param(lambda: LoudStr("Sub"), "Sub", id="str-subclass"),
    pytest.param(lambda: "Na\x00me", "Na\x00me", id="nul"),
    pytest.param(lambda: "Ünï😀", "Ünï😀", id="non-ascii"),
]

QUALNAME_SITES = {
    "parse": (lambda f, t, o: frasolet.parse(o), "argument 'template': '{}' object cannot be "
              "converted to 'PyString'"),
    "fragment-string": (lambda f, t, o: PromptFragment(o), "argument 'string': '{}' object "
                        "cannot be converted to 'PyString'"),
    "fragment-option": (lambda f, t, o: PromptFragment("a", o), "argument 'option': '{}' "
                        "object cannot be converted to 'PyList'"),
    "fragment-option-item": (lambda f, t, o: PromptFragment("a", [o]),
                             "'{}' object cannot be converted to 'PyString'"),
    "set-string": (lambda f, t, o: setattr(f, "string", o),
                   "'{}' object cannot be converted to 'PyString'"),
    "set-options": (lambda f, t, o: setattr(f, "options", o),
                    "'{}' object cannot be converted to 'Sequence'"),
    "set-options-item": (lambda f, t, o: setattr(f, "options", [o]),
                         "'{}' object cannot be converted to 'PyString'"),
    "fragment-state": (lambda f, t, o: f.__setstate__(o),
                       "'{}' object cannot be converted to 'PyDict'"),
    "fragment-state-key": (lambda f, t, o: f.__setstate__({o: 1}),
                           "'{}' object cannot be converted to 'PyString'"),
    "template": (lambda f, t, o: PromptTemplate(o, None), "argument 'template': '{}' object "
                 "cannot be converted to 'PyString'"),
    "set-fragments": (lambda f, t, o: setattr(t, "fragments", o),
                      "'{}' object cannot be converted to 'Sequence'"),
    "set-fragments-item": (lambda f, t, o: setattr(t, "fragments", [f, o]),
                           "'{}' object cannot be converted to 'PromptFragment'"),
    "template-state": (lambda f, t, o: t.__setstate__(o),
                       "'{}' object cannot be converted to 'PyDict'"),
    "template-state-value": (lambda f, t, o: t.__setstate__({"template": o}),
                             "'{}' object cannot be converted to 'PyString'"),
}


@pytest.mark.parametrize("behaviour, shown", QUALNAMES)
@pytest.mark.parametrize("site", QUALNAME_SITES)
def test_type_name_in_conversion_errors(site, behaviour, shown):
    call, message = QUALNAME_SITES[site]
    odd = qualname_class(behaviour)()
    fragment, template = fresh()
    raises_exactly(TypeError, message.format(shown), lambda: call(fragment, template, odd))
    assert fields(fragment) == ("keep", ["k"])
    assert shapes(template) == [("t", None), ("k", [])]


def test_type_name_with_lone_surrogate():
    # Such a name cannot be shown as UTF-8; the call still fails with the
    # conversion error and no other exception is left pending.
    odd = qualname_class(lambda: "bad\udc80")()
    error = raises_exactly(TypeError, None, lambda: frasolet.parse(odd))
    assert str(error) in (
        f"argument 'template': '{UNKNOWN}' object cannot be converted to 'PyString'",
        "argument 'template': 'bad\ufffd\ufffd\ufffd' object cannot be converted to 'PyString'",
    )
    assert frasolet.parse("ok")[0].string == "ok"


# ---------------------------------------------------------------------------
# Sequences that misbehave


class Sequence:
    """A sequence written in Python with a knob for each kind of misbehaviour."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items = list(items)
        self.length = length
        self.fail_at = fail_at
        self.error = error or Boom("midway")
        self.calls = []

    def __len__(self):
        self.calls.append("len")
        if callable(self.length):
            return self.length()
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        self.calls.append(index)
        if index == self.fail_at:
            raise self.error
        return self.items[index]


class IterOnly(Sequence):
    def __iter__(self):
        self.calls.append("iter")
        for index in range(len(self.items) + 1):
            try:
                yield self[index]
            except IndexError:
                return


def _raising_len(exc):
    def length():
        raise exc

    return length


LENGTHS = [
    pytest.param(_raising_len(Boom("len")), id="raises"),
    pytest.param(_raising_len(StopReading()), id="raises-base-exception"),
    pytest.param(lambda: -1, id="negative"),
    pytest.param(lambda: 1 << 100, id="huge"),
    pytest.param(lambda: 1 << 40, id="lying"),
    pytest.param(lambda: "three", id="not-int"),
    pytest.param(lambda: 0, id="zero"),
]

SETTERS = {
    "options": (lambda f, t, seq: setattr(f, "options", seq),
                lambda f, t: f.options, ["a", "b", "c"]),
    "fragment-state-options": (lambda f, t, seq: f.__setstate__({"options": seq}),
                               lambda f, t: f.options, ["a", "b", "c"]),
    "fragments": (lambda f, t, seq: setattr(t, "fragments", seq),
                  lambda f, t: shapes(t), None),
}


def setter_items(name):
    items = SETTERS[name][2]
    if items is None:
        return [PromptFragment("a"), PromptFragment("b", []), PromptFragment("c", ["d"])]
    return list(items)


def setter_expected(name):
    if SETTERS[name][2] is None:
        return [("a", None), ("b", []), ("c", ["d"])]
    return SETTERS[name][2]


@pytest.mark.parametrize("cls", [Sequence, IterOnly])
@pytest.mark.parametrize("length", LENGTHS)
@pytest.mark.parametrize("name", SETTERS)
def test_sequence_length_only_sizes(name, length, cls):
    fragment, template = fresh()
    sequence = cls(setter_items(name), length=length)
    SETTERS[name][0](fragment, template, sequence)
    assert SETTERS[name][1](fragment, template) == setter_expected(name)
    assert sequence.calls[0] == "len"


@pytest.mark.parametrize("cls", [Sequence, IterOnly])
@pytest.mark.parametrize("fail_at", [0, 1, 2])
@pytest.mark.parametrize("error", [Boom("midway"), KeyError("k"), MemoryError(), StopReading()],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("name", SETTERS)
def test_iteration_raising_midway(name, error, fail_at, cls):
    fragment, template = fresh()
    before = (fields(fragment), shapes(template))
    sequence = cls(setter_items(name), fail_at=fail_at, error=error)
    with pytest.raises(type(error)) as info:
        SETTERS[name][0](fragment, template, sequence)
    assert info.value is error  # passed on unchanged
    assert (fields(fragment), shapes(template)) == before


WRONG_ITEMS = [
    pytest.param(5, "int", id="int"),
    pytest.param(None, "NoneType", id="none"),
    pytest.param(b"a", "bytes", id="bytes"),
    pytest.param(["a"], "list", id="list"),
    pytest.param(PromptTemplate("a", None), "PromptTemplate", id="template"),
]


@pytest.mark.parametrize("position", [0, 1, 2])
@pytest.mark.parametrize("item, type_name", WRONG_ITEMS)
@pytest.mark.parametrize("name", SETTERS)
def test_items_of_the_wrong_kind(name, item, type_name, position):
    fragment, template = fresh()
    before = (fields(fragment), shapes(template))
    items = setter_items(name)
    items[position] = item
    target = "PromptFragment" if name == "fragments" else "PyString"
    raises_exactly(TypeError, f"'{type_name}' object cannot be converted to '{target}'",
                   lambda: SETTERS[name][0](fragment, template, IterOnly(items)))
    assert (fields(fragment), shapes(template)) == before


def test_wrong_kind_of_fragment_item_str_and_fragment_kind():
    template = PromptTemplate("a", None)
    raises_exactly(TypeError, "'str' object cannot be converted to 'PromptFragment'",
                   lambda: setattr(template, "fragments", "ab"))
    raises_exactly(TypeError, "'PromptFragment' object cannot be converted to 'PyString'",
                   lambda: setattr(PromptFragment(), "options", [PromptFragment()]))
    assert str(template) == "a"


class BadIter:
    def __init__(self, result):
        self.result = result

    def __len__(self):
        return 1

    def __getitem__(self, index):
        return "a"

    def __iter__(self):
        return self.result


@pytest.mark.parametrize("name", SETTERS)
def test_iter_returning_non_iterator(name):
    fragment, template = fresh()
    message = interpreter_message(TypeError, iter, BadIter(5))
    raises_exactly(TypeError, message, lambda: SETTERS[name][0](fragment, template, BadIter(5)))
    assert fields(fragment) == ("keep", ["k"])
    assert shapes(template) == [("t", None), ("k", [])]


@pytest.mark.parametrize("name", SETTERS)
def test_getitem_stop_iteration_ends_old_style_iteration(name):
    fragment, template = fresh()
    items = setter_items(name)
    SETTERS[name][0](fragment, template, Sequence(items, fail_at=2, error=StopIteration()))
    assert SETTERS[name][1](fragment, template) == setter_expected(name)[:2]


@pytest.mark.parametrize("value", [iter(["a"]), (x for x in ["a"]), {"a"}, {"a": 1},
                                   frozenset(), 3.5, object()],
                         ids=["iterator", "generator", "set", "dict", "frozenset", "float",
                              "object"])
def test_not_a_sequence(value):
    fragment, template = fresh()
    name = type(value).__qualname__
    raises_exactly(TypeError, f"'{name}' object cannot be converted to 'Sequence'",
                   lambda: setattr(fragment, "options", value))
    raises_exactly(TypeError, f"'{name}' object cannot be converted to 'Sequence'",
                   lambda: setattr(template, "fragments", value))
    raises_exactly(TypeError, f"'{name}' object cannot be converted to 'Sequence'",
                   lambda: fragment.__setstate__({"options": value}))
    assert fields(fragment) == ("keep", ["k"])
    assert shapes(template) == [("t", None), ("k", [])]


def test_fragment_items_are_copied_when_they_are_reached():
    first = PromptFragment("first")
    second = PromptFragment("second")

    class Changing(IterOnly):
        def __getitem__(self, index):
            if index == 1:
                first.string = "changed after its copy"
            return super().__getitem__(index)

    template = PromptTemplate(None, None)
    template.fragments = Changing([first, second])
    assert shapes(template) == [("first", None), ("second", None)]


def test_state_dict_emptied_during_the_walk():
    state = {}

    class Clearing(IterOnly):
        def __iter__(self):
            state.clear()
            return super().__iter__()

    state["options"] = Clearing(["a", "b"])
    state["string"] = "never reached"
    fragment = PromptFragment("z")
    fragment.__setstate__(state)
    assert fields(fragment) == ("z", ["a", "b"])


def test_state_dict_grown_during_the_walk():
    state = {}

    class Growing(IterOnly):
        def __iter__(self):
            for index in range(100):
                state[f"key{index}"] = index
            return super().__iter__()

    state["options"] = Growing(["a"])
    fragment = PromptFragment("z")
    fragment.__setstate__(state)
    assert fields(fragment) == ("z", ["a"])


# ---------------------------------------------------------------------------
# __index__


class IntWithOwnIndex(int):
    def __index__(self):
        return 0


# The interpreter's own text, as operator.index gives it for the same key.
AS_OPERATOR_INDEX = object()

INDEXES = [
    pytest.param(Index(1), None, ("b", []), id="index-1"),
    pytest.param(Index(-1), OverflowError, "can't convert negative int to unsigned",
                 id="index-negative"),
    pytest.param(Index(-(1 << 200)), OverflowError, "can't convert negative int to unsigned",
                 id="index-hugely-negative"),
    pytest.param(Index(1 << 64), OverflowError, "int too big to convert", id="index-2**64"),
    pytest.param(Index(1 << 300), OverflowError, "int too big to convert", id="index-huge"),
    pytest.param(Index((1 << 64) - 1), IndexError, None, id="index-2**64-1"),
    pytest.param(Index(1 << 63), IndexError, None, id="index-2**63"),
    pytest.param(Index(2), IndexError, None, id="index-past-end"),
    pytest.param(Index("1"), TypeError, AS_OPERATOR_INDEX, id="index-returns-str"),
    pytest.param(Index(1.0), TypeError, AS_OPERATOR_INDEX, id="index-returns-float"),
    pytest.param(Index(Boom("index")), Boom, "index", id="index-raises"),
    pytest.param(IntWithOwnIndex(1), None, ("b", []), id="int-subclass-read-by-value"),
    pytest.param(True, None, ("b", []), id="true"),
    pytest.param(-1, OverflowError, "can't convert negative int to unsigned", id="minus-one"),
    pytest.param("0", TypeError, None, id="str"),
    pytest.param(slice(0, 1), TypeError, None, id="slice"),
]


@pytest.mark.parametrize("key, error, expected", INDEXES)
def test_subscript_index_protocol(key, error, expected):
    template = PromptTemplate("a[b]", None)
    if expected is AS_OPERATOR_INDEX:
        expected = interpreter_message(error, operator.index, key)
    if error is None:
        assert fields(template[key]) == expected
    else:
        raises_exactly(error, expected, lambda: template[key])
    # Nothing is left borrowed or changed.
    assert shapes(template) == [("a", None), ("b", [])]
    template.fragments = []
    assert len(template) == 0


# ---------------------------------------------------------------------------
# Size and work

MB = 1 << 20


@pytest.mark.slow_under_emulation
def test_hundred_megabyte_template():
    unit = "x" * 1000 + "[m|a,b]"
    count = 100 * MB // len(unit) + 1
    text = unit * count
    assert len(text) >= 100 * MB
    template = PromptTemplate(text, None)
    assert len(template) == 2 * count
    assert template[2 * count - 1].options == ["a", "b"]
    assert template.__getstate__() == {"template": text}
    assert hash(template) == hash(PromptFragment(text))
    del text
    gc.collect()
    plain = "é" * (50 * MB)  # 100 MB of UTF-8 in one text fragment
    result = frasolet.parse(plain)
    assert len(result) == 1 and len(result[0].string) == len(plain)
    assert str(PromptTemplate(plain, None)) == plain


@pytest.mark.slow_under_emulation
def test_million_placeholders():
    count = 1_000_000
    text = "[a|b]" * count
    fragments = frasolet.parse(text)
    assert len(fragments) == count
    assert fields(fragments[0]) == fields(fragments[-1]) == ("a", ["b"])
    template = PromptTemplate(text, None)
    assert len(template) == count
    assert str(template) == text
    assert sum(1 for _ in template) == count
    copy = PromptTemplate(None, None)
    copy.fragments = fragments
    assert hash(copy) == hash(template)
    assert copy.__getstate__()["template"] == text


def run_under_valgrind(valgrind_options, python_arguments, **options):
    """Runs this interpreter under valgrind; skips the test where valgrind is
    missing or cannot start on it (a relocated interpreter whose loader has
    no symbols: memcheck must redirect the loader's strlen)."""
    if shutil.which("valgrind") is None:
        pytest.skip("valgrind is not installed")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("an AddressSanitizer build cannot run under valgrind")
    result = subprocess.run(["valgrind", *valgrind_options, sys.executable, *python_arguments],
                            capture_output=True, text=True, timeout=600, **options)
    if result.returncode != 0 and "Fatal error at startup" in result.stderr:
        said = result.stderr.split("Fatal error at startup:", 1)[1].replace("valgrind:", " ")
        pytest.skip(f"valgrind cannot start on {sys.executable}: {' '.join(said.split())[:240]}")
    return result


@pytest.fixture(scope="module")
def work_per_run(tmp_path_factory):
    """Instructions of each run of linear_work.py, counted by callgrind:
    {case: (small, large)}."""
    profile = tmp_path_factory.mktemp("callgrind") / "callgrind.out"
    script = os.path.join(os.path.dirname(__file__), "linear_work.py")
    result = run_under_valgrind(
        ["--tool=callgrind", "--dump-before=getppid", "--combine-dumps=yes",
         f"--callgrind-out-file={profile}"], [script])
    assert result.returncode == 0, result.stderr[-3000:]
    parts = [int(total) for total in re.findall(r"^totals: (\d+)$", profile.read_text(), re.M)]
    # Start-up, then per run: the run, the set-up of the next; then the exit.
    runs = 2 * len(linear_work.CASES)
    assert len(parts) == 2 * runs + 1, len(parts)
    counts = parts[1:2 * runs:2]
    return {case: (counts[2 * i], counts[2 * i + 1]) for i, case in enumerate(linear_work.CASES)}


@pytest.mark.slow_under_emulation
@pytest.mark.parametrize("case", linear_work.CASES, ids="-".join)
def test_work_is_linear(work_per_run, case):
    # Sixteen times the input: linear work takes about 16 times the
    # instructions (15 to 17 here), a quadratic step about 256 times.
    small, large = work_per_run[case]
    assert linear_work.LARGE == 16 * linear_work.SMALL
    assert large <= 24 * small, (small, large)


# ---------------------------------------------------------------------------
# Memory that the module keeps for the life of the process

MEMCHECK_SCRIPT = """
import frasolet
template = frasolet.PromptTemplate("a[b|c]", None)
assert [f.string for f in template] == ["a", "b"]
assert frasolet.parse("x")[0].string == "x"
"""


@pytest.mark.slow_under_emulation
def test_class_objects_leave_no_definite_leak():
    # Making the three class objects keeps their names for the life of the
    # process; that memory must stay reachable, not be lost.
    result = run_under_valgrind(
        ["--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite", "--num-callers=30"],
        ["-c", MEMCHECK_SCRIPT], env={**os.environ, "PYTHONMALLOC": "malloc"})
    assert result.returncode == 0, result.stderr[-3000:]
    records = re.split(r"\n==\d+== \n", result.stderr)

    def allocated_by_module(record):
        # The frame right under the allocator is the module's own code.
        # Objects the interpreter made for the module and keeps until exit
        # (3.12 and later leave some of them unfreed) are not counted.
        frames = [line for line in record.splitlines() if " at 0x" in line or " by 0x" in line]
        return len(frames) >= 2 and "frasolet" in frames[1]

    lost = [record for record in records
            if "definitely lost in loss record" in record and allocated_by_module(record)]
    assert lost == [], "\n\n".join(lost)
