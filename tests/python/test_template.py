"""PromptTemplate: construction, tokenizer, text form, hash, the fragments
property, subscripting, state, pickling, re-entrancy and subclassing."""

import collections
import copy
import gc
import multiprocessing
import operator
import pickle
import sys
import types
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

import frasolet
from frasolet import PromptFragment, PromptTemplate

# The hash a template or fragment with a given text form must have,
# written out from the rules in the test model.
from model import text_hash
from support import (
    ActionIndex,
    Index,
    RaisingSeq,
    Seq,
    Token,
    fields,
    raises_exactly,
    sequence_getitem,
    shapes,
)

# ---------------------------------------------------------------- helpers


def frag(string, options=None):
    return PromptFragment(string, options)


class BadLenSeq(Seq):
    def __len__(self):
        raise ValueError("length refused")


class Outer:
    class Inner:
        pass


class StrSub(str):
    def __str__(self):
        return "not this"

    def encode(self, *args, **kwargs):
        raise AssertionError("str subclass methods must not be called")


class Sub(PromptTemplate):
    pass


class SlottedSub(PromptTemplate):
    __slots__ = ("label",)


# ------------------------------------------------------------ class object

@pytest.mark.parametrize(
    "read, expected",
    [
        (lambda: PromptTemplate.__module__, "frasolet"),
        (lambda: PromptTemplate.__name__, "PromptTemplate"),
        (lambda: PromptTemplate.__qualname__, "PromptTemplate"),
        (lambda: PromptTemplate.__text_signature__, "(template, tokenizer, *, strict=False)"),
        (
            lambda: PromptTemplate.__doc__,
            "A :obj:`PromptTemplate` works as a pipeline. It processes some raw text "
            ":obj:`Dict[str, str]`\nas input and outputs an :obj:`Dict[str, int]` for "
            "language models.\n\nstrict=True raises TemplateSyntaxError where the template "
            "breaks the grammar;\nby default the fragments before that point are kept.\n\n"
            "Args:\n    template (:obj:`str`):\n        The frasolet "
            "template to render the raw texts.\n",
        ),
        (lambda: PromptTemplate.tokenizer.__doc__, "the tokenizer for processing"),
        (lambda: PromptTemplate.fragments.__doc__, "the fragments of the processed template"),
        (lambda: PromptTemplate.__getstate__.__doc__, None),
        (lambda: PromptTemplate.__setstate__.__doc__, None),
        (lambda: PromptTemplate.parse.__text_signature__, "(template, *, strict=False)"),
        (lambda: PromptTemplate.__base__, object),
        (lambda: frasolet.PromptTemplate is PromptTemplate, True),
    ],
    ids=[
        "module", "name", "qualname", "text_signature", "doc", "tokenizer_doc",
        "fragments_doc", "getstate_doc", "setstate_doc", "parse_signature", "base",
        "module_attribute",
    ],
)
def test_class_surface(read, expected):
    assert read() == expected


def test_class_members_present_and_absent():
    own = PromptTemplate.__dict__
    for name in ("parse", "__getstate__", "__setstate__", "__reduce__", "tokenizer", "fragments",
                 "__new__", "__str__", "__repr__", "__iter__", "__len__",
                 "__getitem__", "__hash__"):
        assert name in own, name
    for name in ("__eq__", "__lt__", "__contains__", "__reversed__", "__init__",
                 "__getnewargs__", "__dict__", "__weakref__"):
        assert name not in own, name
    assert isinstance(own["parse"], staticmethod)
    assert PromptTemplate.parse.__doc__.startswith("Parse frasolet template to Fragments")


def test_instances_have_no_dict_or_weakref_but_are_collectable():
    t = PromptTemplate("a", None)
    with pytest.raises(AttributeError):
        t.extra = 1
    with pytest.raises(AttributeError):
        t.__dict__
    with pytest.raises(TypeError):
        weakref.ref(t)
    # It holds an arbitrary object, so it takes part in cyclic collection.
    assert gc.is_tracked(t)


# ------------------------------------------------------------ constructor

NEW = "PromptTemplate.__new__()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, NEW + " missing 2 required positional arguments: 'template' and 'tokenizer'"),
        (("a",), {}, NEW + " missing 1 required positional argument: 'tokenizer'"),
        ((), {"template": "a"}, NEW + " missing 1 required positional argument: 'tokenizer'"),
        ((), {"tokenizer": None}, NEW + " missing 1 required positional argument: 'template'"),
        # Binding comes before any conversion.
        ((5,), {}, NEW + " missing 1 required positional argument: 'tokenizer'"),
        (("a", None, 3), {}, NEW + " takes 2 positional arguments but 3 were given"),
        (("a", None, 3, 4), {}, NEW + " takes 2 positional arguments but 4 were given"),
        # The positional count is checked before any keyword.
        (("a", None, 3), {"bogus": 1}, NEW + " takes 2 positional arguments but 3 were given"),
        (("a", None), {"bogus": 1}, NEW + " got an unexpected keyword argument 'bogus'"),
        # Keywords are looked at before missing arguments are counted.
        ((), {"bogus": 1}, NEW + " got an unexpected keyword argument 'bogus'"),
        (("a", None), {"template": "b"}, NEW + " got multiple values for argument 'template'"),
        (("a",), {"template": "b", "tokenizer": None},
         NEW + " got multiple values for argument 'template'"),
        (("a", None), {"tokenizer": None}, NEW + " got multiple values for argument 'tokenizer'"),
        # Keywords are taken in the order given: the first bad one wins.
        (("a", None), {"bogus": 1, "template": "b"},
         NEW + " got an unexpected keyword argument 'bogus'"),
        (("a", None), {"template": "b", "bogus": 1},
         NEW + " got multiple values for argument 'template'"),
        (("a", None), {"Template": "b"}, NEW + " got an unexpected keyword argument 'Template'"),
        (("a", None), {"\ud800": 1},
         NEW + " got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        # Conversion of the template argument.
        ((5, None), {}, "argument 'template': 'int' object cannot be converted to 'PyString'"),
        ((), {"template": 5, "tokenizer": None},
         "argument 'template': 'int' object cannot be converted to 'PyString'"),
        ((b"a", None), {}, "argument 'template': 'bytes' object cannot be converted to 'PyString'"),
        ((["a"], None), {}, "argument 'template': 'list' object cannot be converted to 'PyString'"),
        ((Outer.Inner(), None), {},
         "argument 'template': 'Outer.Inner' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        PromptTemplate(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_constructor_lone_surrogate_passes_encoding_error_unchanged():
    with pytest.raises(UnicodeEncodeError) as info:
        PromptTemplate("ok\ud800", None)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "call",
    [
        lambda tok: PromptTemplate("a[b|x#y]", tok),
        lambda tok: PromptTemplate("a[b|x#y]", tokenizer=tok),
        lambda tok: PromptTemplate(template="a[b|x#y]", tokenizer=tok),
        lambda tok: PromptTemplate(tokenizer=tok, template="a[b|x#y]"),
        lambda tok: PromptTemplate(StrSub("a[b|x#y]"), tok),
    ],
    ids=["positional", "mixed", "keywords", "keywords_reversed", "str_subclass"],
)
def test_constructor_forms(call):
    tok = Token()
    t = call(tok)
    assert type(t) is PromptTemplate
    assert t.tokenizer is tok
    assert shapes(t) == [("a", None), ("b", ["x", "y"])]


@pytest.mark.parametrize("template", [None, ""], ids=["none", "empty"])
def test_constructor_empty_template(template):
    t = PromptTemplate(template, Token())
    assert len(t) == 0
    assert t.fragments == []
    assert str(t) == "" and repr(t) == ""
    assert hash(t) == 3476900567878811119
    assert t.__getstate__() == {"template": ""}


def test_constructor_never_keeps_the_text():
    text = "".join(["a[b", "|c]"])
    before = sys.getrefcount(text)
    t = PromptTemplate(text, None)
    assert sys.getrefcount(text) == before
    del t
    assert sys.getrefcount(text) == before


def test_constructor_malformed_templates_do_not_raise():
    for text, expected in [("a [b", [("a ", None)]), ("a ] b", [("a ", None)]),
                           ("a \\", [("a ", None)]), ("[]", [])]:
        assert shapes(PromptTemplate(text, None)) == expected


# -------------------------------------------------------------- tokenizer

def _function():
    pass


@pytest.mark.parametrize(
    "tok",
    [None, Token(), 5, "tok", [1, 2], {"k": 1}, Token, _function, float("nan"), PromptTemplate],
    ids=["none", "object", "int", "str", "list", "dict", "class", "function", "nan", "own_class"],
)
def test_tokenizer_identity(tok):
    t = PromptTemplate("a", tok)
    assert t.tokenizer is tok
    assert t.tokenizer is tok
    other = Token()
    t.tokenizer = other
    assert t.tokenizer is other
    t.tokenizer = tok
    assert t.tokenizer is tok


def test_tokenizer_can_be_the_template_itself():
    t = PromptTemplate("a", None)
    t.tokenizer = t
    assert t.tokenizer is t
    t.tokenizer = None
    assert t.tokenizer is None


def test_tokenizer_delete_is_refused():
    tok = Token()
    t = PromptTemplate("a", tok)
    with pytest.raises(AttributeError) as info:
        del t.tokenizer
    assert str(info.value) == "can't delete attribute"
    assert t.tokenizer is tok


def test_tokenizer_reference_count():
    tok = Token()
    other = Token()
    base = sys.getrefcount(tok)
    base_other = sys.getrefcount(other)
    t = PromptTemplate("a[b]", tok)
    assert sys.getrefcount(tok) == base + 1
    for _ in range(1000):
        assert t.tokenizer is tok
    assert sys.getrefcount(tok) == base + 1
    for _ in range(1000):
        t.tokenizer = tok
    assert sys.getrefcount(tok) == base + 1
    for _ in range(500):
        t.tokenizer = other
        t.tokenizer = tok
    assert sys.getrefcount(tok) == base + 1
    assert sys.getrefcount(other) == base_other
    t.tokenizer = other
    assert sys.getrefcount(tok) == base
    assert sys.getrefcount(other) == base_other + 1
    t.tokenizer = tok
    del t
    assert sys.getrefcount(tok) == base
    assert sys.getrefcount(other) == base_other


@pytest.mark.parametrize("cls", [PromptTemplate, Sub, SlottedSub])
def test_tokenizer_released_when_template_freed(cls):
    tok = Token()
    base = sys.getrefcount(tok)
    templates = [cls("a[b|c]", tok) for _ in range(50)]
    assert sys.getrefcount(tok) == base + 50
    del templates
    assert sys.getrefcount(tok) == base
    probe = weakref.ref(tok)
    t = cls(None, tok)
    del tok
    assert probe() is not None
    del t
    assert probe() is None


class Untouchable:
    """Records any use of itself; a tokenizer must only be stored."""

    def __init__(self):
        object.__setattr__(self, "uses", [])

    def _use(name):
        def method(self, *args, **kwargs):
            object.__getattribute__(self, "uses").append(name)
            raise AssertionError("tokenizer used through " + name)
        return method

    __getattr__ = _use("__getattr__")
    __call__ = _use("__call__")
    __hash__ = _use("__hash__")
    __eq__ = _use("__eq__")
    __str__ = _use("__str__")
    __repr__ = _use("__repr__")
    __len__ = _use("__len__")
    __iter__ = _use("__iter__")
    __bool__ = _use("__bool__")
    __reduce_ex__ = _use("__reduce_ex__")
    __getstate__ = _use("__getstate__")
    del _use


def test_tokenizer_is_never_used():
    tok = Untouchable()
    t = PromptTemplate("a[b|c]d", tok)
    str(t), repr(t), hash(t), len(t), t[1], list(t), t.fragments
    state = t.__getstate__()
    assert state == {"template": "a[b|c]d"}
    t.__setstate__({"template": "x"})
    t.fragments = [frag("y")]
    t.tokenizer = tok
    assert t.tokenizer is tok
    assert object.__getattribute__(tok, "uses") == []


# -------------------------------------------------- text form, len, hash

TEXT_FORMS = [
    # template, text form, fragments
    ("", "", []),
    ("a[b|x#y]", "a[b|x,y]", [("a", None), ("b", ["x", "y"])]),
    ("Hi [name]!", "Hi [name]!", [("Hi ", None), ("name", []), ("!", None)]),
    ("[x|]", "[x]", [("x", [])]),
    ("[color|red,,green##blue]", "[color|red,green,blue]", [("color", ["red", "green", "blue"])]),
    ("x\\[y\\]", "x[y]", [("x[y]", None)]),
    ("a\\\\b", "a\\b", [("a\\b", None)]),
    ("ab]cd", "ab", [("ab", None)]),
    ("[a][b]", "[a][b]", [("a", []), ("b", [])]),
    ("\u00e9[\u00fc|\u00f6,\u00df]", "\u00e9[\u00fc|\u00f6,\u00df]",
     [("\u00e9", None), ("\u00fc", ["\u00f6", "\u00df"])]),
    ("hello world, this is longer than 16 bytes",
     "hello world, this is longer than 16 bytes",
     [("hello world, this is longer than 16 bytes", None)]),
]


@pytest.mark.parametrize("template, text, fragments", TEXT_FORMS)
def test_text_form_len_and_hash(template, text, fragments):
    t = PromptTemplate(template, Token())
    assert shapes(t) == fragments
    assert len(t) == len(fragments)
    assert str(t) == text
    assert repr(t) == text
    assert type(str(t)) is str
    assert hash(t) == text_hash(text)
    assert hash(t) == hash(PromptFragment(text))
    assert t.__getstate__() == {"template": text}


@pytest.mark.parametrize(
    "template, value",
    [(None, 3476900567878811119), ("", 3476900567878811119),
     ("a[b|x#y]", -4898877945272911468), ("abc", -1222198482973350627),
     ("[x|a,b]", -4291059149704120025)],
)
def test_hash_constants(template, value):
    assert hash(PromptTemplate(template, None)) == value


def test_hash_equals_fragment_with_same_text_form():
    t = PromptTemplate("[b|x,y]", None)
    assert hash(t) == hash(PromptFragment("b", ["x", "y"]))
    assert hash(PromptTemplate("[x]", None)) == hash(PromptFragment("x", []))
    assert hash(PromptTemplate("[x]", None)) == hash(PromptFragment("[x]"))


def test_hash_ignores_tokenizer_and_follows_fragments():
    t = PromptTemplate("abc", Token())
    first = hash(t)
    t.tokenizer = Token()
    assert hash(t) == first
    t.fragments = [frag("q", ["r"])]
    assert hash(t) == text_hash("[q|r]") != first
    t.__setstate__({"template": "abc"})
    assert hash(t) == first


def test_equality_is_identity():
    a = PromptTemplate("a[b]", None)
    b = PromptTemplate("a[b]", None)
    assert hash(a) == hash(b)
    assert a != b and not (a == b)
    assert a == a
    with pytest.raises(TypeError):
        a < b


def test_text_form_writes_fields_bare():
    t = PromptTemplate(None, None)
    t.fragments = [frag("a|b", ["c"]), frag("["), frag("x", [""]), frag("\\"),
                   frag("y", ["1,2", "]"])]
    text = "[a|b|c][[x|]\\[y|1,2,]]"
    assert str(t) == text
    assert hash(t) == text_hash(text)
    assert len(t) == 5


# ------------------------------------------------------ fragments: reading

def test_fragments_read_gives_new_lists_of_new_objects():
    t = PromptTemplate("a[b|x#y]c", None)
    first = t.fragments
    second = t.fragments
    assert type(first) is list
    assert first is not second
    assert len(first) == 3
    for x, y in zip(first, second):
        assert x is not y
        assert type(x) is PromptFragment
        assert (x.string, x.options) == (y.string, y.options)


def test_fragments_read_copies_out():
    t = PromptTemplate("a[b|x#y]c", None)
    read = t.fragments
    read[0].string = "changed"
    read[1].options = ["z"]
    read[1].string = "q"
    read.append(frag("more"))
    read.clear()
    assert shapes(t) == [("a", None), ("b", ["x", "y"]), ("c", None)]


def test_fragments_read_empty():
    t = PromptTemplate(None, None)
    a, b = t.fragments, t.fragments
    assert a == [] and b == [] and a is not b


# ------------------------------------------------------ fragments: writing

class FragSub(PromptFragment):
    pass


class LyingFragment(PromptFragment):
    string = property(lambda self: "lie")
    options = property(lambda self: ["lie"])


class ReversedTemplate(PromptTemplate):
    def __iter__(self):
        return iter(list(super().__iter__())[::-1])


WRITES = [
    ("empty_list", lambda: [], []),
    ("empty_tuple", lambda: (), []),
    ("empty_str", lambda: "", []),
    ("list", lambda: [frag("a"), frag("b", []), frag("c", ["1", "2"])],
     [("a", None), ("b", []), ("c", ["1", "2"])]),
    ("tuple", lambda: (frag("x", ["y"]),), [("x", ["y"])]),
    ("list_subclass", lambda: type("L", (list,), {})([frag("p")]), [("p", None)]),
    ("user_sequence", lambda: Seq([frag("s"), frag("t", [])]), [("s", None), ("t", [])]),
    ("user_sequence_bad_len", lambda: BadLenSeq([frag("s"), frag("t")]),
     [("s", None), ("t", None)]),
    ("user_sequence_short_len", lambda: Seq([frag("s"), frag("t")], length=0),
     [("s", None), ("t", None)]),
    ("user_sequence_long_len", lambda: Seq([frag("s")], length=1000), [("s", None)]),
    ("user_sequence_negative_len", lambda: Seq([frag("s")], length=-1), [("s", None)]),
    ("template", lambda: PromptTemplate("m[n|o]", Token()), [("m", None), ("n", ["o"])]),
    ("empty_template", lambda: PromptTemplate(None, None), []),
    ("subclass_template", lambda: Sub("[k]", None), [("k", [])]),
    ("fragment_subclass_items", lambda: [FragSub("u", ["v"]), FragSub()],
     [("u", ["v"]), ("", None)]),
    # The record is copied, whatever the subclass shows through attributes.
    ("overriding_fragment_items", lambda: [LyingFragment("u", ["v"]), LyingFragment("w")],
     [("u", ["v"]), ("w", None)]),
    # A template value goes through the iteration protocol like any sequence.
    ("template_overriding_iter", lambda: ReversedTemplate("m[n|o]", None),
     [("n", ["o"]), ("m", None)]),
    ("same_item_twice", lambda: [frag("d")] * 2, [("d", None), ("d", None)]),
    ("parsed_list", lambda: frasolet.parse("a[b]"), [("a", None), ("b", [])]),
    ("fragments_of_itself", None, [("a", None), ("b", ["x", "y"])]),
]


@pytest.mark.parametrize("value_factory, expected", [w[1:] for w in WRITES],
                         ids=[w[0] for w in WRITES])
def test_fragments_write(value_factory, expected):
    tok = Token()
    t = PromptTemplate("a[b|x#y]", tok)
    value = t.fragments if value_factory is None else value_factory()
    t.fragments = value
    assert shapes(t) == expected
    assert len(t) == len(expected)
    assert t.tokenizer is tok
    assert all(type(f) is PromptFragment for f in t.fragments)
    assert [(f.string, f.options) for f in t] == expected
    assert str(t) == "".join(str(PromptFragment(s, o)) for s, o in expected)


def test_fragments_write_copies_in():
    source = [frag("a", ["b"]), frag("c")]
    t = PromptTemplate(None, None)
    t.fragments = source
    source[0].options = ["changed"]
    source[0].string = "z"
    source[1].string = "y"
    source.pop()
    assert shapes(t) == [("a", ["b"]), ("c", None)]


def test_fragments_write_from_template_is_a_copy():
    src = PromptTemplate("x[y]", None)
    dst = PromptTemplate(None, None)
    dst.fragments = src
    src.fragments = []
    assert shapes(dst) == [("x", None), ("y", [])]


def test_length_follows_every_write():
    t = PromptTemplate("a[b]c", None)
    lengths = [len(t)]
    for value in ([frag("1")], [], [frag(str(i)) for i in range(7)], "", (frag("x"), frag("y"))):
        t.fragments = value
        lengths.append(len(t))
    t.__setstate__({"template": "[a][b][c][d]"})
    lengths.append(len(t))
    t.__setstate__({"template": ""})
    lengths.append(len(t))
    assert lengths == [3, 1, 0, 7, 0, 2, 4, 0]


class RaisingIterSeq(Seq):
    def __iter__(self):
        raise KeyError("no iterator")


FAILED_WRITES = [
    ("nonempty_str", lambda: "ab", TypeError,
     "'str' object cannot be converted to 'PromptFragment'"),
    ("int", lambda: 5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ("none", lambda: None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ("empty_dict", lambda: {}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ("dict", lambda: {0: frag("a")}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ("set", lambda: {frag("a")}, TypeError, "'set' object cannot be converted to 'Sequence'"),
    ("generator", lambda: (f for f in [frag("a")]), TypeError,
     "'generator' object cannot be converted to 'Sequence'"),
    ("iterator", lambda: iter([frag("a")]), TypeError,
     "'list_iterator' object cannot be converted to 'Sequence'"),
    ("fragment", lambda: frag("a"), TypeError,
     "'PromptFragment' object cannot be converted to 'Sequence'"),
    ("int_item_last", lambda: [frag("a"), frag("b"), 5], TypeError,
     "'int' object cannot be converted to 'PromptFragment'"),
    ("none_item", lambda: [frag("a"), None], TypeError,
     "'NoneType' object cannot be converted to 'PromptFragment'"),
    ("str_item", lambda: (frag("a"), "b"), TypeError,
     "'str' object cannot be converted to 'PromptFragment'"),
    ("template_item", lambda: [PromptTemplate("a", None)], TypeError,
     "'PromptTemplate' object cannot be converted to 'PromptFragment'"),
    ("qualname_item", lambda: [Outer.Inner()], TypeError,
     "'Outer.Inner' object cannot be converted to 'PromptFragment'"),
    ("range", lambda: range(2), TypeError, "'int' object cannot be converted to 'PromptFragment'"),
    ("item_raises", lambda: RaisingSeq([frag("a"), frag("b"), frag("c")]), ValueError,
     "item refused"),
    ("iter_raises", lambda: RaisingIterSeq([frag("a")]), KeyError, "'no iterator'"),
]


@pytest.mark.parametrize("value_factory, exc_type, message", [w[1:] for w in FAILED_WRITES],
                         ids=[w[0] for w in FAILED_WRITES])
def test_fragments_failed_write_keeps_old_array(value_factory, exc_type, message):
    tok = Token()
    t = PromptTemplate("a[b|x#y]", tok)
    with pytest.raises(exc_type) as info:
        t.fragments = value_factory()
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert shapes(t) == [("a", None), ("b", ["x", "y"])]
    assert len(t) == 2 and str(t) == "a[b|x,y]"
    assert t.tokenizer is tok
    t.fragments = [frag("after")]
    assert shapes(t) == [("after", None)]


def test_fragments_delete_is_refused():
    t = PromptTemplate("a[b]", None)
    with pytest.raises(AttributeError) as info:
        del t.fragments
    assert str(info.value) == "can't delete attribute"
    assert shapes(t) == [("a", None), ("b", [])]
    t.fragments = []
    assert len(t) == 0


# ------------------------------------------------------------- subscript

@pytest.fixture
def three():
    return PromptTemplate("a[b|c]d", None)


@pytest.mark.parametrize(
    "key, expected",
    [(0, ("a", None)), (1, ("b", ["c"])), (2, ("d", None)), (True, ("b", ["c"])),
     (False, ("a", None)), (Index(2), ("d", None)), (type("I", (int,), {})(1), ("b", ["c"]))],
    ids=["0", "1", "2", "True", "False", "index_obj", "int_subclass"],
)
def test_subscript_reads(three, key, expected):
    item = three[key]
    assert type(item) is PromptFragment
    assert (item.string, item.options) == expected
    assert operator.getitem(three, key).string == expected[0]


def test_subscript_gives_new_objects(three):
    a, b = three[1], three[1]
    assert a is not b
    a.options = ["z"]
    assert three[1].options == ["c"]


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("index refused")


@pytest.mark.parametrize(
    "key, exc_type",
    [(-1, OverflowError), (-(2 ** 70), OverflowError), (2 ** 64, OverflowError),
     (2 ** 100, OverflowError), (Index(-1), OverflowError), ("1", TypeError),
     (1.0, TypeError), (slice(0, 1), TypeError), (slice(None), TypeError), (None, TypeError),
     ((0,), TypeError), (RaisingIndex(), ZeroDivisionError)],
    ids=["minus_one", "very_negative", "2**64", "2**100", "index_obj_negative", "str",
         "float", "slice", "full_slice", "none", "tuple", "index_raises"],
)
def test_subscript_refused_keys(three, key, exc_type):
    with pytest.raises(exc_type) as info:
        three[key]
    assert type(info.value) is exc_type
    assert not str(info.value).startswith("argument")
    assert shapes(three) == [("a", None), ("b", ["c"]), ("d", None)]


@pytest.mark.parametrize("key", [3, 4, 100, 2 ** 63, 2 ** 64 - 1, Index(3)],
                         ids=["len", "len+1", "100", "2**63", "2**64-1", "index_obj"])
def test_subscript_out_of_range(three, key):
    with pytest.raises(IndexError) as info:
        three[key]
    assert type(info.value) is IndexError
    assert str(info.value) == "PromptTemplate index out of range"
    assert len(three) == 3


def test_subscript_out_of_range_on_empty():
    with pytest.raises(IndexError, match="^PromptTemplate index out of range$"):
        PromptTemplate(None, None)[0]


def test_sequence_item_slot(three):
    # _testcapi.sequence_getitem goes through PySequence_GetItem, i.e. the
    # sequence item slot and not the mapping subscript.
    item = sequence_getitem(three, 1)
    assert type(item) is PromptFragment
    assert (item.string, item.options) == ("b", ["c"])
    with pytest.raises(OverflowError):
        sequence_getitem(three, -1)
    with pytest.raises(IndexError, match="^PromptTemplate index out of range$"):
        sequence_getitem(three, 3)


def test_old_style_iteration_stops_on_index_error(three):
    class Wrapper:
        def __getitem__(self, index):
            return three[index]

    assert [(f.string, f.options) for f in Wrapper()] == shapes(three)
    assert len(list(iter(Wrapper()))) == 3
    target = PromptTemplate(None, None)
    target.fragments = Wrapper()
    assert shapes(target) == shapes(three)


def test_user_index_loop_stops_on_index_error(three):
    seen = []
    i = 0
    while True:
        try:
            seen.append(three[i].string)
        except IndexError:
            break
        i += 1
    assert seen == ["a", "b", "d"]


def test_no_reversed_without_sequence_length(three):
    with pytest.raises(TypeError):
        reversed(three)


# ------------------------------------------------------------------ state

def test_getstate_is_a_new_dict():
    tok = Token()
    t = PromptTemplate("a[b|x#y]", tok)
    a = t.__getstate__()
    b = t.__getstate__()
    assert type(a) is dict
    assert a == {"template": "a[b|x,y]"}
    assert list(a) == ["template"]
    assert a is not b
    a["template"] = "changed"
    assert t.__getstate__() == {"template": "a[b|x,y]"}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.__getstate__(1),
         "PromptTemplate.__getstate__() takes 0 positional arguments but 1 was given"),
        (lambda t: t.__getstate__(1, 2),
         "PromptTemplate.__getstate__() takes 0 positional arguments but 2 were given"),
        (lambda t: t.__getstate__(x=1),
         "PromptTemplate.__getstate__() got an unexpected keyword argument 'x'"),
        (lambda t: t.__setstate__(),
         "PromptTemplate.__setstate__() missing 1 required positional argument: 'state'"),
        (lambda t: t.__setstate__({}, {}),
         "PromptTemplate.__setstate__() takes 1 positional arguments but 2 were given"),
        (lambda t: t.__setstate__({}, state={}),
         "PromptTemplate.__setstate__() got multiple values for argument 'state'"),
        (lambda t: t.__setstate__(st={}),
         "PromptTemplate.__setstate__() got an unexpected keyword argument 'st'"),
        (lambda t: PromptTemplate.parse(),
         "PromptTemplate.parse() missing 1 required positional argument: 'template'"),
        (lambda t: t.parse("a", template="a"),
         "PromptTemplate.parse() got multiple values for argument 'template'"),
        (lambda t: PromptTemplate.parse(5),
         "argument 'template': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_method_binding_errors(call, message):
    t = PromptTemplate("a[b]", None)
    with pytest.raises(TypeError) as info:
        call(t)
    assert str(info.value) == message
    assert shapes(t) == [("a", None), ("b", [])]


def test_static_parse():
    t = PromptTemplate("zzz", None)
    for result in (PromptTemplate.parse("a[b|c]"), t.parse("a[b|c]"),
                   Sub.parse(template="a[b|c]")):
        assert type(result) is list
        assert all(type(f) is PromptFragment for f in result)
        assert [(f.string, f.options) for f in result] == [("a", None), ("b", ["c"])]
    assert shapes(t) == [("zzz", None)]


class DictSub(dict):
    def items(self):
        raise AssertionError("items() must not be called")

    def keys(self):
        raise AssertionError("keys() must not be called")

    def __iter__(self):
        raise AssertionError("__iter__() must not be called")

    def __getitem__(self, key):
        raise AssertionError("__getitem__() must not be called")


OLD = [("o", None), ("p", ["q"])]
NEWER = [("n", None), ("e", [])]

SETSTATE = [
    # id, state factory, exception (type, message) or None, fragments afterwards
    ("empty", lambda: {}, None, OLD),
    ("other_key", lambda: {"other": 1}, None, OLD),
    ("wrong_case", lambda: {"Template": "n[e]"}, None, OLD),
    ("template", lambda: {"template": "n[e]"}, None, NEWER),
    ("template_then_other", lambda: {"template": "n[e]", "other": object()}, None, NEWER),
    ("other_then_template", lambda: {"other": object(), "template": "n[e]"}, None, NEWER),
    ("str_subclass_key", lambda: {StrSub("template"): "n[e]"}, None, NEWER),
    ("str_subclass_value", lambda: {"template": StrSub("n[e]")}, None, NEWER),
    ("dict_subclass", lambda: DictSub(template="n[e]"), None, NEWER),
    ("ordered_dict", lambda: collections.OrderedDict(template="n[e]"), None, NEWER),
    ("lenient_parse", lambda: {"template": "n[e] ]tail"}, None, [("n", None), ("e", []),
                                                                   (" ", None)]),
    ("empty_template", lambda: {"template": ""}, None, []),
    ("none_value", lambda: {"template": None},
     (TypeError, "'NoneType' object cannot be converted to 'PyString'"), OLD),
    ("int_value", lambda: {"template": 5},
     (TypeError, "'int' object cannot be converted to 'PyString'"), OLD),
    ("bytes_value", lambda: {"template": b"n[e]"},
     (TypeError, "'bytes' object cannot be converted to 'PyString'"), OLD),
    ("bad_key_after", lambda: {"template": "n[e]", 1: 2},
     (TypeError, "'int' object cannot be converted to 'PyString'"), NEWER),
    ("bad_key_before", lambda: {1: 2, "template": "n[e]"},
     (TypeError, "'int' object cannot be converted to 'PyString'"), OLD),
    ("bytes_key_after", lambda: {"template": "n[e]", "x": 1, b"k": 2},
     (TypeError, "'bytes' object cannot be converted to 'PyString'"), NEWER),
    ("surrogate_value", lambda: {"template": "n\ud800"}, (UnicodeEncodeError, None), OLD),
    ("surrogate_key_before", lambda: {"\udfff": 1, "template": "n[e]"},
     (UnicodeEncodeError, None), OLD),
    ("surrogate_key_after", lambda: {"template": "n[e]", "\udfff": 1},
     (UnicodeEncodeError, None), NEWER),
    ("list", lambda: [("template", "n[e]")],
     (TypeError, "'list' object cannot be converted to 'PyDict'"), OLD),
    ("none", lambda: None, (TypeError, "'NoneType' object cannot be converted to 'PyDict'"), OLD),
    ("str", lambda: "n[e]", (TypeError, "'str' object cannot be converted to 'PyDict'"), OLD),
    ("mappingproxy", lambda: types.MappingProxyType({"template": "n[e]"}),
     (TypeError, "'mappingproxy' object cannot be converted to 'PyDict'"), OLD),
]


@pytest.mark.parametrize("state_factory, error, after", [s[1:] for s in SETSTATE],
                         ids=[s[0] for s in SETSTATE])
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_setstate(state_factory, error, after, by_keyword):
    tok = Token()
    t = PromptTemplate("o[p|q]", tok)
    state = state_factory()
    call = (lambda: t.__setstate__(state=state)) if by_keyword else (lambda: t.__setstate__(state))
    if error is None:
        assert call() is None
    else:
        exc_type, message = error
        with pytest.raises(exc_type) as info:
            call()
        assert type(info.value) is exc_type
        if message is not None:
            assert str(info.value) == message
    assert shapes(t) == after
    assert len(t) == len(after)
    assert t.tokenizer is tok
    # The template is usable afterwards, writers included.
    t.tokenizer = None
    t.fragments = [frag("z")]
    assert str(t) == "z"


def test_escapes_reparse_differently_through_state():
    t = PromptTemplate("x\\[y\\]", None)
    assert shapes(t) == [("x[y]", None)]
    assert str(t) == "x[y]"
    state = t.__getstate__()
    assert state == {"template": "x[y]"}
    restored = PromptTemplate(None, None)
    restored.__setstate__(state)
    assert shapes(restored) == [("x", None), ("y", [])]
    assert len(restored) == 2
    assert str(restored) == "x[y]"
    assert hash(restored) == hash(t)


def test_state_round_trip_by_hand():
    src = PromptTemplate("Hi [name|a,b]!", Token())
    dst = PromptTemplate(None, None)
    dst.__setstate__(src.__getstate__())
    assert shapes(dst) == shapes(src)
    assert dst.tokenizer is None


# --------------------------------------------------------------- pickling

# Fragment lists as a template may hold them, the grammar's reach or not:
# adjacent text fragments, names and options holding brackets, separators,
# backslashes or nothing at all, and every option state.
_any_text = st.text(st.sampled_from("ab ]\\[,#|é\n"), max_size=6)
fragment_lists = st.lists(
    st.tuples(_any_text, st.one_of(st.none(), st.lists(_any_text, max_size=3))), max_size=6)

COPIERS = [pytest.param(lambda t, p=p: pickle.loads(pickle.dumps(t, p)), id="pickle%d" % p)
           for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
COPIERS += [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]


@pytest.mark.slow_under_emulation
@pytest.mark.parametrize("copier", COPIERS)
@pytest.mark.parametrize("cls", [PromptTemplate, Sub])
@given(records=fragment_lists)
def test_copies_keep_class_fragments_and_tokenizer(copier, cls, records):
    tokenizer = {"vocabulary": ["a", "b"]}
    t = cls(None, tokenizer)
    t.fragments = [frag(string, options) for string, options in records]
    copied = copier(t)
    assert type(copied) is cls
    assert shapes(copied) == records
    assert copied.__getstate__() == t.__getstate__() and hash(copied) == hash(t)
    # Pickled with the template, shared by a shallow copy, copied by a deep one.
    assert copied.tokenizer == tokenizer
    assert (copied.tokenizer is tokenizer) == (copier is copy.copy)
    copied.fragments = []
    assert shapes(t) == records


def test_escaped_brackets_survive_copies():
    # The case the text form loses: "\[MASK\]" would come back as a placeholder.
    t = PromptTemplate(r"Fill \[MASK\] in: [sentence]", None)
    assert shapes(pickle.loads(pickle.dumps(t))) == [("Fill [MASK] in: ", None),
                                                      ("sentence", [])]


class Unpicklable:
    def __reduce__(self):
        raise ValueError("this tokenizer stays in its process")


def test_unpicklable_tokenizer_fails_at_dump_time():
    t = PromptTemplate("a[b]", Unpicklable())
    raises_exactly(ValueError, "this tokenizer stays in its process", pickle.dumps, t)
    raises_exactly(ValueError, "this tokenizer stays in its process", copy.deepcopy, t)
    assert copy.copy(t).tokenizer is t.tokenizer


@pytest.mark.parametrize("copier", [lambda t: pickle.loads(pickle.dumps(t)), copy.deepcopy],
                         ids=["pickle", "deepcopy"])
def test_copies_keep_a_cycle_through_the_tokenizer(copier):
    t = PromptTemplate("a[b]", None)
    t.tokenizer = {"templates": [t]}
    copied = copier(t)
    assert copied is not t and copied.tokenizer["templates"][0] is copied
    t.tokenizer = copied.tokenizer = None


@pytest.mark.needs_native_interpreter
def test_pool_with_a_template_in_the_task_returns():
    # A template that cannot be loaded in a worker leaves Pool.map waiting
    # forever; the timeout turns that into a failure.
    t = PromptTemplate(r"x\[y\] [name|a,b]", {"vocabulary": ["x"]})
    context = multiprocessing.get_context("spawn")
    with context.Pool(2) as pool:
        results = pool.starmap_async(operator.getitem, [(t, 0), (t, 1)]).get(timeout=120)
        tokenizers = pool.map_async(operator.attrgetter("tokenizer"), [t]).get(timeout=120)
    assert [fields(f) for f in results] == [("x[y] ", None), ("name", ["a", "b"])]
    assert tokenizers == [{"vocabulary": ["x"]}]


TUPLE_STATES = [
    # id, state factory, exception (type, message) or None
    ("fragments_and_tokenizer", lambda tok: ([frag("n"), frag("e", [])], tok), None),
    ("tuple_subclass", lambda tok: Pair(((frag("n"), frag("e", [])), tok)), None),
    ("bad_item", lambda tok: ([frag("n"), 5], tok),
     (TypeError, "'int' object cannot be converted to 'PromptFragment'")),
    ("not_a_sequence", lambda tok: (5, tok),
     (TypeError, "'int' object cannot be converted to 'Sequence'")),
    ("three_items", lambda tok: ([frag("n")], tok, None),
     (TypeError, "'tuple' object cannot be converted to 'PyDict'")),
]


class Pair(tuple):
    pass


@pytest.mark.parametrize("state_factory, error", [s[1:] for s in TUPLE_STATES],
                         ids=[s[0] for s in TUPLE_STATES])
def test_setstate_with_the_state_of_reduce(state_factory, error):
    # Both parts apply, or neither.
    old_tok, new_tok = Token(), Token()
    t = PromptTemplate("o[p|q]", old_tok)
    state = state_factory(new_tok)
    if error is None:
        assert t.__setstate__(state) is None
        assert shapes(t) == NEWER and t.tokenizer is new_tok
    else:
        raises_exactly(*error, t.__setstate__, state)
        assert shapes(t) == OLD and t.tokenizer is old_tok


def test_setstate_tuple_refuses_reentry():
    # Reading the template's own fragments while it is being written.
    t = PromptTemplate("o[p|q]", None)
    raises_exactly(RuntimeError, "Already mutably borrowed", t.__setstate__, (t, Token()))
    assert shapes(t) == OLD and t.tokenizer is None


# ------------------------------------------------------------ re-entrancy

def test_assign_template_to_own_fragments():
    t = PromptTemplate("a[b|c]", None)
    with pytest.raises(RuntimeError) as info:
        t.fragments = t
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Already mutably borrowed"
    assert shapes(t) == [("a", None), ("b", ["c"])]
    t.fragments = [frag("x")]
    assert shapes(t) == [("x", None)]


READERS = [
    ("fragments", lambda t: t.fragments),
    ("tokenizer", lambda t: t.tokenizer),
    ("str", str),
    ("repr", repr),
    ("hash", hash),
    ("len", len),
    ("subscript", lambda t: t[0]),
    ("iter", iter),
    ("getstate", lambda t: t.__getstate__()),
]

WRITERS = [
    ("fragments", lambda t: setattr(t, "fragments", [])),
    ("tokenizer", lambda t: setattr(t, "tokenizer", None)),
    ("setstate", lambda t: t.__setstate__({})),
]


class ReentrantSeq:
    """A sequence whose item access runs an operation on some template."""

    def __init__(self, action, items):
        self.action = action
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        if index == 1:
            self.action()
        return self.items[index]


def _check_usable(t, tok):
    assert t.tokenizer is tok
    t.tokenizer = tok
    t.fragments = [frag("ok")]
    assert shapes(t) == [("ok", None)]
    t.__setstate__({"template": "a[b]"})
    assert str(t) == "a[b]"


@pytest.mark.parametrize("reader", [r[1] for r in READERS], ids=[r[0] for r in READERS])
def test_read_during_fragments_write_is_refused(reader):
    tok = Token()
    t = PromptTemplate("a[b|c]", tok)
    seq = ReentrantSeq(lambda: reader(t), [frag("x"), frag("y"), frag("z")])
    with pytest.raises(RuntimeError) as info:
        t.fragments = seq
    assert str(info.value) == "Already mutably borrowed"
    assert shapes(t) == [("a", None), ("b", ["c"])]
    _check_usable(t, tok)


@pytest.mark.parametrize("writer", [w[1] for w in WRITERS], ids=[w[0] for w in WRITERS])
def test_write_during_fragments_write_is_refused(writer):
    tok = Token()
    t = PromptTemplate("a[b|c]", tok)
    seq = ReentrantSeq(lambda: writer(t), [frag("x"), frag("y"), frag("z")])
    with pytest.raises(RuntimeError) as info:
        t.fragments = seq
    assert str(info.value) == "Already borrowed"
    assert shapes(t) == [("a", None), ("b", ["c"])]
    _check_usable(t, tok)


@pytest.mark.parametrize(
    "action, message",
    [
        # The borrow is taken before arguments are bound or a deletion refused.
        (lambda t: t.__setstate__(), "Already borrowed"),
        (lambda t: t.__setstate__({}, {}), "Already borrowed"),
        (lambda t: delattr(t, "tokenizer"), "Already borrowed"),
        (lambda t: delattr(t, "fragments"), "Already borrowed"),
        (lambda t: setattr(t, "fragments", 5), "Already borrowed"),
        (lambda t: t.__getstate__(1), "Already mutably borrowed"),
        (lambda t: t["not an index"], "Already mutably borrowed"),
        (lambda t: t[-1], "Already mutably borrowed"),
    ],
    ids=["setstate_missing", "setstate_too_many", "delete_tokenizer", "delete_fragments",
         "bad_fragments", "getstate_too_many", "bad_key", "negative_key"],
)
def test_borrow_is_checked_first(action, message):
    tok = Token()
    t = PromptTemplate("a[b|c]", tok)
    seq = ReentrantSeq(lambda: action(t), [frag("x"), frag("y")])
    with pytest.raises(RuntimeError) as info:
        t.fragments = seq
    assert str(info.value) == message
    assert shapes(t) == [("a", None), ("b", ["c"])]
    _check_usable(t, tok)


def test_other_template_is_free_during_fragments_write():
    t = PromptTemplate("a", None)
    other = PromptTemplate("q[r]", None)
    seen = []

    def action():
        seen.append(str(other))
        other.fragments = [frag("w")]
        seen.append(str(other))

    t.fragments = ReentrantSeq(action, [frag("x"), frag("y")])
    assert seen == ["q[r]", "w"]
    assert shapes(t) == [("x", None), ("y", None)]


def test_failed_length_during_write_is_ignored():
    t = PromptTemplate("a", None)
    seen = []

    class LenReads(Seq):
        def __len__(self):
            try:
                t.fragments
            except RuntimeError as exc:
                seen.append(str(exc))
                raise
            return 2

    t.fragments = LenReads([frag("x"), frag("y")])
    assert seen == ["Already mutably borrowed"]
    assert shapes(t) == [("x", None), ("y", None)]


@pytest.mark.parametrize("writer", [w[1] for w in WRITERS], ids=[w[0] for w in WRITERS])
def test_write_from_subscript_key_is_refused(writer):
    tok = Token()
    t = PromptTemplate("a[b|c]", tok)
    with pytest.raises(RuntimeError) as info:
        t[ActionIndex(lambda: writer(t), 0)]
    assert str(info.value) == "Already borrowed"
    assert shapes(t) == [("a", None), ("b", ["c"])]
    _check_usable(t, tok)


@pytest.mark.parametrize("reader", [r[1] for r in READERS], ids=[r[0] for r in READERS])
def test_read_from_subscript_key_is_allowed(reader):
    t = PromptTemplate("a[b|c]", None)
    results = []
    item = t[ActionIndex(lambda: results.append(reader(t)), 1)]
    assert (item.string, item.options) == ("b", ["c"])
    assert len(results) == 1
    t.fragments = []
    assert len(t) == 0


def test_borrowed_fragment_item_is_refused():
    # While a fragment's options setter holds that fragment exclusively and
    # runs user code, the fragment cannot be copied into a template.
    t = PromptTemplate("a[b|c]", None)
    f = frag("m", ["n"])
    errors = []

    def action():
        try:
            t.fragments = [frag("ok"), f]
        except RuntimeError as exc:
            errors.append(str(exc))
            raise

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        f.options = ReentrantSeq(action, ["x", "y"])
    assert errors == ["Already mutably borrowed"]
    assert shapes(t) == [("a", None), ("b", ["c"])]
    assert f.options == ["n"]
    t.fragments = [f]
    assert shapes(t) == [("m", ["n"])]


# ------------------------------------------------------------ subclassing

def test_subclass_instances():
    tok = Token()
    s = Sub("a[b|c]", tok)
    assert type(s) is Sub and isinstance(s, PromptTemplate)
    s.extra = 1
    s.more = [2]
    assert s.extra == 1 and s.__dict__ == {"extra": 1, "more": [2]}
    assert s.tokenizer is tok
    assert shapes(s) == [("a", None), ("b", ["c"])]
    assert len(s) == 2 and str(s) == "a[b|c]" and repr(s) == "a[b|c]"
    assert hash(s) == hash(PromptTemplate("a[b|c]", None))
    assert type(s[1]) is PromptFragment and s[1].options == ["c"]
    assert [f.string for f in s] == ["a", "b"]
    assert type(iter(s)) is type(iter(PromptTemplate(None, None)))
    assert s.__getstate__() == {"template": "a[b|c]"}
    s.__setstate__({"template": "[z]"})
    assert shapes(s) == [("z", [])]
    s.fragments = [frag("y")]
    s.tokenizer = None
    assert str(s) == "y" and s.tokenizer is None
    with pytest.raises(IndexError):
        s[5]


def test_subclass_with_slots_and_overrides():
    s = SlottedSub("a", None)
    s.label = "L"
    assert s.label == "L"
    with pytest.raises(AttributeError):
        s.other = 1

    class Loud(PromptTemplate):
        def __str__(self):
            return super().__str__().upper()

    loud = Loud("a[b]", None)
    assert str(loud) == "A[B]"
    assert loud.__getstate__() == {"template": "a[b]"}
