"""PromptFragmentIter: the iterator that iter() of a PromptTemplate returns."""

import copy
import gc
import operator
import pickle
import weakref

import pytest

import frasolet
from frasolet import PromptFragment, PromptTemplate
from support import Token, run_script, shapes_of


def iter_class():
    return type(iter(PromptTemplate(None, None)))


# ------------------------------------------------------------ class object

def test_class_is_made_on_first_iter():
    done = run_script("""
        import gc
        import frasolet

        def iter_classes():
            return [c for c in object.__subclasses__() if c.__name__ == "PromptFragmentIter"]

        t = frasolet.PromptTemplate("a[b|c]", None)
        # Every other operation leaves the iterator class unmade.
        t.fragments, str(t), repr(t), hash(t), len(t), t[0], t.__getstate__()
        t.fragments = frasolet.parse("x[y]")
        t.__setstate__({"template": "q"})
        gc.collect()
        print("before", len(iter_classes()))
        it = iter(t)
        found = iter_classes()
        print("after", len(found), found[0] is type(it))
        print("again", type(iter(frasolet.PromptTemplate(None, None))) is type(it))
        print("module", hasattr(frasolet, "PromptFragmentIter"),
              "PromptFragmentIter" in frasolet.__all__)
    """, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.split("\n") == ["before 0", "after 1 True", "again True", "module False False", ""]


@pytest.mark.parametrize(
    "read, expected",
    [
        (lambda c: c.__name__, "PromptFragmentIter"),
        (lambda c: c.__qualname__, "PromptFragmentIter"),
        (lambda c: c.__module__, "builtins"),
        (lambda c: c.__text_signature__, "(self)"),
        (lambda c: c.__doc__, ""),
        (lambda c: c.__base__, object),
    ],
    ids=["name", "qualname", "module", "text_signature", "doc", "base"],
)
def test_class_surface(read, expected):
    assert read(iter_class()) == expected


def test_class_is_shared_by_all_iterators():
    a = iter(PromptTemplate("a", None))
    b = iter(PromptTemplate(None, object()))
    assert type(a) is type(b) is iter_class()


def test_class_is_not_a_module_attribute():
    assert not hasattr(frasolet, "PromptFragmentIter")
    assert "PromptFragmentIter" not in frasolet.__all__
    assert iter_class() not in vars(frasolet).values()


def test_class_members():
    own = iter_class().__dict__
    assert "__iter__" in own and "__next__" in own and "__new__" in own
    for name in ("__len__", "__length_hint__", "__reduce__", "__reduce_ex__", "__getstate__",
                 "__setstate__", "__eq__", "__dict__", "__weakref__", "__init__"):
        assert name not in own, name


@pytest.mark.parametrize(
    "define",
    [
        lambda base: type("Derived", (base,), {}),
        lambda base: type("Derived", (base, object), {}),
    ],
    ids=["single", "with_object"],
)
def test_not_subclassable(define):
    with pytest.raises(TypeError):
        define(iter_class())


def test_not_subclassable_with_class_statement():
    base = iter_class()
    with pytest.raises(TypeError):
        class Derived(base):
            pass


@pytest.mark.parametrize(
    "make",
    [
        lambda c: c(),
        lambda c: c(1, 2),
        lambda c: c(PromptTemplate("a", None)),
        lambda c: c(x=1),
        lambda c: c.__new__(c),
        lambda c: c.__new__(c, PromptTemplate("a", None)),
    ],
    ids=["no_args", "positional", "template", "keyword", "dunder_new", "dunder_new_args"],
)
def test_no_constructor(make):
    with pytest.raises(TypeError) as info:
        make(iter_class())
    assert type(info.value) is TypeError
    assert str(info.value) == "No constructor defined"


def test_instances_have_no_dict_weakref_or_gc():
    it = iter(PromptTemplate("a", None))
    with pytest.raises(AttributeError):
        it.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(it)
    assert not gc.is_tracked(it)


def test_no_length_and_no_state():
    it = iter(PromptTemplate("a[b]c", None))
    with pytest.raises(TypeError):
        len(it)
    assert operator.length_hint(it, 7) == 7
    for copier in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            copier(it)
    # None of the attempts moved it.
    assert [f.string for f in it] == ["a", "b", "c"]


# -------------------------------------------------------------- iteration

def test_yields_new_fragments_in_order():
    t = PromptTemplate("a[b|x#y]c[d]", None)
    it = iter(t)
    got = [next(it), next(it), next(it), next(it)]
    assert all(type(f) is PromptFragment for f in got)
    assert shapes_of(got) == [("a", None), ("b", ["x", "y"]), ("c", None), ("d", [])]
    assert len({id(f) for f in got}) == 4
    assert next(it, None) is None


@pytest.mark.parametrize(
    "template, expected",
    [(None, []), ("", []), ("a[b]", [("a", None), ("b", [])]),
     ("[x|]", [("x", [])]), ("x\\[y\\]", [("x[y]", None)])],
)
def test_list_and_for_loop(template, expected):
    t = PromptTemplate(template, None)
    assert shapes_of(list(iter(t))) == expected
    assert shapes_of(list(t)) == expected
    looped = []
    for f in t:
        looped.append((f.string, f.options))
    assert looped == expected
    assert shapes_of(t.__iter__()) == expected


def test_option_states_survive_iteration():
    t = PromptTemplate(None, None)
    t.fragments = [PromptFragment("a"), PromptFragment("b", []), PromptFragment("c", ["1", ""])]
    assert shapes_of(t) == [("a", None), ("b", []), ("c", ["1", ""])]


@pytest.mark.parametrize(
    "advance",
    [lambda it: next(it), lambda it: it.__next__()],
    ids=["next", "dunder_next"],
)
def test_stop_iteration_at_end_and_after(advance):
    it = iter(PromptTemplate("a", None))
    assert advance(it).string == "a"
    for _ in range(5):
        with pytest.raises(StopIteration) as info:
            advance(it)
        assert type(info.value) is StopIteration
        assert info.value.value is None
        assert info.value.args == (None,)


def test_empty_template_stops_at_once():
    it = iter(PromptTemplate(None, None))
    for _ in range(3):
        with pytest.raises(StopIteration) as info:
            next(it)
        assert info.value.value is None


def test_next_with_default():
    it = iter(PromptTemplate("a", None))
    sentinel = object()
    assert next(it, sentinel).string == "a"
    assert next(it, sentinel) is sentinel
    assert next(it, None) is None
    assert next(it, sentinel) is sentinel


def test_iter_of_iterator_is_itself():
    it = iter(PromptTemplate("a[b]", None))
    assert iter(it) is it
    assert it.__iter__() is it
    next(it)
    assert iter(it) is it
    list(it)
    assert iter(it) is it
    assert iter(iter(it)) is it
    assert list(it) == []


def test_iterating_the_iterator_continues_where_it_stands():
    it = iter(PromptTemplate("a[b]c", None))
    next(it)
    assert [f.string for f in it] == ["b", "c"]


def test_two_iterators_are_independent():
    t = PromptTemplate("a[b]c", None)
    first, second = iter(t), iter(t)
    assert first is not second
    assert first != second
    assert next(first).string == "a"
    assert next(first).string == "b"
    assert next(second).string == "a"
    assert next(first).string == "c"
    assert next(first, None) is None
    assert [f.string for f in second] == ["b", "c"]


def test_iterator_keeps_fragments_of_its_moment():
    t = PromptTemplate("a[b]c", None)
    before = iter(t)
    partly = iter(t)
    assert next(partly).string == "a"
    t.fragments = [PromptFragment("new")]
    after = iter(t)
    assert shapes_of(before) == [("a", None), ("b", []), ("c", None)]
    assert shapes_of(partly) == [("b", []), ("c", None)]
    assert shapes_of(after) == [("new", None)]


def test_iterator_keeps_fragments_across_setstate():
    t = PromptTemplate("a[b]", None)
    it = iter(t)
    t.__setstate__({"template": "[z|q]"})
    assert shapes_of(it) == [("a", None), ("b", [])]
    assert shapes_of(iter(t)) == [("z", ["q"])]


def test_iterator_outlives_its_template():
    tok = Token()
    t = PromptTemplate("a[b|c]", tok)
    it = iter(t)
    freed = weakref.ref(tok)
    del t, tok
    # The template is gone (it dropped its tokenizer); the iterator holds
    # its own copy of the fragments.
    assert freed() is None
    assert shapes_of(it) == [("a", None), ("b", ["c"])]


def test_yielded_fragments_are_copies():
    t = PromptTemplate("a[b|c]", None)
    f = next(iter(t))
    f.string = "changed"
    g = next(iter(t))
    assert g.string == "a"
    it = iter(t)
    first = next(it)
    first.options = ["x"]
    second = next(it)
    second.options.append("y")
    second.options = ["z"]
    assert shapes_of(t) == [("a", None), ("b", ["c"])]


# ------------------------------------------------------------- membership

def test_membership_is_by_identity():
    t = PromptTemplate("a[b|c]", None)
    assert t[0] not in t
    assert t.fragments[1] not in t
    for f in t:
        assert f not in t
    assert PromptFragment("a") not in t
    assert "a" not in t
    assert object() not in t


def test_membership_goes_through_iteration_and_equality():
    class EqualToAll:
        def __init__(self):
            self.compared = []

        def __eq__(self, other):
            self.compared.append(other)
            return isinstance(other, PromptFragment) and other.string == "b"

        __hash__ = object.__hash__

    probe = EqualToAll()
    assert probe in PromptTemplate("a[b]c", None)
    assert shapes_of(probe.compared) == [("a", None), ("b", [])]
    other = EqualToAll()
    assert other not in PromptTemplate("a c", None)
    assert len(other.compared) == 1
    empty = EqualToAll()
    assert empty not in PromptTemplate(None, None)
    assert empty.compared == []
