"""Stateful testing: random sequences of operations on real objects and models.

A hypothesis state machine keeps pools of fragments, templates and
iterators, each a pair of the real object and its model (``model.py``).
Every rule applies one operation to both sides with arguments realised for
each side from the same description (a fragment in an argument list is the
real fragment on one side and its model on the other), and checks that the
outcomes agree: the same result, or the same exception type with the same
message.  After every step an invariant compares every live pair, so what a
failed call leaves behind (a partly applied state, an unchanged field, a
borrow flag back at zero) is checked as well.

Operations: construct, parse, read and set ``string``/``options``/
``fragments``/``tokenizer`` (deletion included), ``__getstate__``,
``__setstate__`` with good and bad states, ``str``/``repr``/``hash``/``len``,
indexing, iteration, pickling; arguments include sequences written in Python
that misbehave (a failing ``__len__``, an iteration that raises midway, items
of the wrong kind) or reach back into the object being changed.
"""

import os
import pickle
import types

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import frasolet
import model
from test_differential import field_texts, templates

PromptFragment = frasolet.PromptFragment
PromptTemplate = frasolet.PromptTemplate

REAL, MODEL = 0, 1
POOL_LIMIT = 10

# ---------------------------------------------------------------------------
# Python-side objects handed to the module


class Boom(Exception):
    """Raised by the misbehaving objects below."""


class StrSub(str):
    """A str whose methods must not be used: the module reads the value."""

    def __str__(self):
        raise Boom("__str__")

    def encode(self, *args, **kwargs):
        raise Boom("encode")

    def __iter__(self):
        raise Boom("__iter__")

    def __len__(self):
        raise Boom("__len__")

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class ListSub(list):
    """A list that iterates backwards and cannot tell its length."""

    def __iter__(self):
        return iter(list(list.__reversed__(self)))

    def __len__(self):
        raise Boom("__len__")


class DictSub(dict):
    """A dict whose methods must not be used: the module walks its storage."""

    def items(self):
        raise Boom("items")

    def keys(self):
        raise Boom("keys")

    def __iter__(self):
        raise Boom("__iter__")

    def __getitem__(self, key):
        raise Boom("__getitem__")

    def get(self, *args):
        raise Boom("get")


class IndexSequence:
    """Old-style sequence: items through ``__getitem__`` until IndexError."""

    def __init__(self, items, length="ok", fail_at=None, hook=None):
        self.items = items
        self.length = length
        self.fail_at = fail_at
        self.hook = hook
        self.log = []

    def __len__(self):
        if self.length == "raise":
            raise Boom("__len__")
        if self.length == "negative":
            return -1
        if self.length == "huge":
            return 1 << 70
        if self.length == "lying":
            return 1 << 40
        return len(self.items)

    def __getitem__(self, index):
        if self.hook is not None and index == 0:
            self.log.append(self.hook())
        if index == self.fail_at:
            raise Boom(f"item {index}")
        return self.items[index]


class IndexKey:
    """An index whose ``__index__`` runs a hook first."""

    def __init__(self, value, hook):
        self.value = value
        self.hook = hook
        self.log = []

    def __index__(self):
        self.log.append(self.hook())
        return self.value


class IterSequence(IndexSequence):
    """A sequence with its own ``__iter__``."""

    def __iter__(self):
        for index in range(len(self.items) + 1):
            try:
                yield self[index]
            except IndexError:
                return


# ---------------------------------------------------------------------------
# Comparing the two sides


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # a PanicException (BaseException) fails the test
        return ("raise", type(error), str(error), error.args)


class Machine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.fragments = []  # [real, model] pairs
        self.templates = []
        self.iterators = []
        self.tokenizers = [None, "tok", object(), [1, 2]]
        # Every pair ever kept, by the identity of each side, so that an
        # object that left its pool (a tokenizer, say) is still recognised.
        self.serials = ({}, {})
        self.alive = []

    # ---- bookkeeping ------------------------------------------------------

    def keep(self, pool, pair):
        pool.append(pair)
        del pool[:-POOL_LIMIT]
        serial = len(self.alive)
        self.alive.append(pair)
        for side in (REAL, MODEL):
            self.serials[side][id(pair[side])] = serial

    def observe(self, value, side):
        """A description of ``value`` that is the same for equal outcomes."""
        serial = self.serials[side].get(id(value))
        if serial is not None and self.alive[serial][side] is value:
            return ("kept", serial)
        if type(value) in (PromptFragment, model.FragmentModel):
            assert type(value) is (PromptFragment if side == REAL else model.FragmentModel)
            return ("fragment", value.string, value.options)
        if type(value) in (PromptTemplate, model.TemplateModel):
            return ("template", str(value))
        if type(value).__name__ in ("PromptFragmentIter", "IteratorModel"):
            return ("iterator",)
        if type(value) in (list, tuple):
            return (type(value).__name__, [self.observe(item, side) for item in value])
        if type(value) is dict:
            return ("dict", [(key, self.observe(item, side)) for key, item in value.items()])
        if type(value) in (str, int, bool, type(None)):
            return (type(value).__name__, value)
        if isinstance(value, (IndexSequence, IndexKey, StrSub, ListSub, DictSub, set,
                              types.GeneratorType)):
            # Made afresh for each side from the same description.
            return ("made", type(value).__name__, repr(value) if type(value) is set else None)
        return ("object", id(value))

    def both(self, operation, *plans):
        """Applies ``operation`` to each side and checks the outcomes agree.

        Returns the pair of raw results (None for a side that raised).
        """
        results = []
        observed = []
        realised = []
        for side in (REAL, MODEL):
            arguments = [self.realise(plan, side) for plan in plans]
            realised.append(arguments)
            result = outcome(lambda: operation(side, *arguments))
            results.append(result)
            if result[0] == "ok":
                observed.append(("ok", self.observe(result[1], side)))
            else:
                observed.append(result)
        assert observed[REAL] == observed[MODEL], (plans, observed)
        # What Python code run by the call saw must agree as well.
        for real_value, model_value in zip(*realised):
            if isinstance(real_value, (IndexSequence, IndexKey)):
                assert real_value.log == model_value.log
        return tuple(result[1] if result[0] == "ok" else None for result in results)

    # ---- argument descriptions --------------------------------------------

    def realise(self, plan, side):
        kind = plan[0]
        if kind == "value":
            return plan[1]
        if kind == "strsub":
            return StrSub(plan[1])
        if kind == "fragment":
            return self.fragments[plan[1]][side]
        if kind == "template":
            return self.templates[plan[1]][side]
        if kind == "iterator":
            return self.iterators[plan[1]][side]
        if kind == "tokenizer":
            return self.tokenizers[plan[1]]
        if kind in ("list", "tuple", "listsub"):
            items = [self.realise(item, side) for item in plan[1]]
            return {"list": list, "tuple": tuple, "listsub": ListSub}[kind](items)
        if kind == "generator":
            items = [self.realise(item, side) for item in plan[1]]
            return (item for item in items)
        if kind == "set":
            return {"a"}
        if kind in ("index-sequence", "iter-sequence"):
            _, items, length, fail_at, hook = plan
            items = [self.realise(item, side) for item in items]
            cls = IndexSequence if kind == "index-sequence" else IterSequence
            return cls(items, length, fail_at, self.make_hook(hook, side))
        if kind in ("dict", "dictsub"):
            items = [(self.realise(k, side), self.realise(v, side)) for k, v in plan[1]]
            return (dict if kind == "dict" else DictSub)(items)
        if kind == "index":
            return plan[1]
        if kind == "index-hook":
            return IndexKey(plan[1], self.make_hook(plan[2], side))
        raise AssertionError(plan)

    def make_hook(self, hook, side):
        """Python code that a sequence runs while the module converts it."""
        if hook is None:
            return None
        action, pool_name, index, swallow = hook
        target = (self.templates if pool_name == "template" else self.fragments)[index][side]
        actions = {
            "read": lambda: str(target),
            "fragments": lambda: target.fragments,
            "options": lambda: target.options,
            "tokenizer": lambda: setattr(target, "tokenizer", None),
            "string": lambda: setattr(target, "string", "hooked"),
        }
        act = actions[action]

        def run():
            if not swallow:
                act()
                return ("ran",)
            try:
                act()
                return ("ran",)
            except RuntimeError as error:
                return ("refused", str(error))

        return run

    def text_plan(self, data):
        return data.draw(st.one_of(
            field_texts.map(lambda s: ("value", s)),
            field_texts.map(lambda s: ("strsub", s)),
            st.sampled_from([("value", None), ("value", 5), ("value", b"ab"), ("value", "\ud800"),
                             ("value", "a\udfffb")]),
        ))

    def item_plan(self, data, wanted):
        choices = [self.text_plan(data)]
        if wanted == "fragment" and self.fragments:
            choices += [("fragment", data.draw(st.integers(0, len(self.fragments) - 1)))] * 3
        if self.templates:
            choices.append(("template", data.draw(st.integers(0, len(self.templates) - 1))))
        return data.draw(st.sampled_from(choices))

    def hook_plan(self, data, owner=None):
        """Code run by a conversion; it often reaches the object being changed."""
        if data.draw(st.booleans()):
            return None
        if owner is not None and data.draw(st.booleans()):
            pool_name, index = owner
        else:
            pool_name = data.draw(st.sampled_from(
                [name for name, pool in (("template", self.templates),
                                         ("fragment", self.fragments)) if pool]))
            pool = self.templates if pool_name == "template" else self.fragments
            index = data.draw(st.integers(0, len(pool) - 1))
        if pool_name == "template":
            action = data.draw(st.sampled_from(["read", "fragments", "tokenizer"]))
        else:
            action = data.draw(st.sampled_from(["read", "options", "string"]))
        return (action, pool_name, index, data.draw(st.booleans()))

    def sequence_plan(self, data, wanted, owner=None):
        items = [self.item_plan(data, wanted) for _ in range(data.draw(st.integers(0, 4)))]
        if wanted == "text" and data.draw(st.booleans()):
            items = [("value", s) for s in data.draw(st.lists(field_texts, max_size=4))]
        if wanted == "fragment" and self.fragments and data.draw(st.booleans()):
            items = [("fragment", i) for i in data.draw(
                st.lists(st.integers(0, len(self.fragments) - 1), max_size=4))]
        kind = data.draw(st.sampled_from(
            ["list", "list", "tuple", "listsub", "generator", "set", "index-sequence",
             "iter-sequence", "text", "other", "template"]))
        if kind == "text":
            return ("value", data.draw(st.sampled_from(["", "ab", "[x]"])))
        if kind == "other":
            return data.draw(st.sampled_from([("value", None), ("value", 7), ("value", {"a": 1}),
                                              ("value", b"")]))
        if kind == "template":
            if not self.templates:
                return ("value", ())
            return ("template", data.draw(st.integers(0, len(self.templates) - 1)))
        if kind in ("index-sequence", "iter-sequence"):
            length = data.draw(st.sampled_from(["ok", "raise", "negative", "huge", "lying"]))
            fail_at = data.draw(st.one_of(st.none(), st.integers(0, 4)))
            return (kind, items, length, fail_at, self.hook_plan(data, owner))
        return (kind, items)

    def fragment_state_plan(self, data):
        entry = st.one_of(
            field_texts.map(lambda s: (("value", "string"), ("value", s))),
            st.lists(field_texts, max_size=3).map(lambda o: (("value", "options"), ("value", o))),
            st.sampled_from([
                (("value", "options"), ("value", None)),
                (("value", "options"), ("value", "ab")),
                (("value", "options"), ("value", 5)),
                (("value", "string"), ("value", None)),
                (("value", "string"), ("value", 5)),
                (("value", "string"), ("value", "\ud800")),
                (("value", "other"), ("value", object())),
                (("value", 1), ("value", 2)),
                (("value", "\ud800"), ("value", "x")),
                (("strsub", "string"), ("strsub", "sub")),
                (("strsub", "options"), ("value", ["p", "q"])),
            ]),
        )
        return self.state_plan(data, entry)

    def template_state_plan(self, data):
        entry = st.one_of(
            templates.map(lambda t: (("value", "template"), ("value", t))),
            st.sampled_from([
                (("value", "template"), ("value", None)),
                (("value", "template"), ("value", 5)),
                (("value", "template"), ("value", "\ud800")),
                (("value", "template"), ("strsub", "[sub|a]")),
                (("strsub", "template"), ("value", "k[ey]")),
                (("value", "other"), ("value", 1)),
                (("value", 1), ("value", "x")),
                (("value", "\udc00"), ("value", "x")),
            ]),
        )
        if self.fragments and data.draw(st.integers(0, 3)) == 0:
            # The state __reduce__ gives: fragments and tokenizer.
            items = data.draw(st.lists(st.integers(0, len(self.fragments) - 1), max_size=3))
            tokenizer = data.draw(st.integers(0, len(self.tokenizers) - 1))
            return ("tuple", [("list", [("fragment", i) for i in items]),
                              ("tokenizer", tokenizer)])
        return self.state_plan(data, entry)

    def state_plan(self, data, entry):
        kind = data.draw(st.sampled_from(["dict", "dict", "dict", "dictsub", "list", "none"]))
        if kind == "none":
            return ("value", None)
        entries = data.draw(st.lists(entry, max_size=4))
        if kind == "list":
            return ("list", [("value", "string")])
        return (kind, entries)

    def call_plan(self, data, names):
        """Positional arguments and keywords for a constructor or method."""
        count = data.draw(st.integers(0, len(names) + 1))
        positional = [self.argument_plan(data) for _ in range(min(count, len(names) + 1))]
        keywords = []
        for name in data.draw(st.lists(st.sampled_from(list(names) + ["bogus", "\ud800"]),
                                       max_size=2)):
            keywords.append((name, self.argument_plan(data)))
        return positional, keywords

    def argument_plan(self, data):
        kind = data.draw(st.sampled_from(["text", "text", "sequence", "plain"]))
        if kind == "text":
            return self.text_plan(data)
        if kind == "sequence":
            return self.sequence_plan(data, "text")
        return data.draw(st.sampled_from([("value", None), ("value", ["a", "b"]), ("value", [])]))

    def call_with(self, function_for_side, positional, keywords):
        def call(side, *values):
            args = values[: len(positional)]
            kwargs = dict(zip([name for name, _ in keywords], values[len(positional):]))
            return function_for_side(side)(*args, **kwargs)

        return call, positional + [plan for _, plan in keywords]

    # ---- rules: making objects --------------------------------------------

    @initialize(template=templates, string=field_texts)
    def start(self, template, string):
        real = PromptTemplate(template, None)
        self.keep(self.templates, [real, model.TemplateModel(template, None)])
        self.keep(self.fragments, [PromptFragment(string), model.FragmentModel(string)])

    @rule(data=st.data())
    def construct_fragment(self, data):
        positional, keywords = self.call_plan(data, ("string", "option"))
        call, plans = self.call_with(lambda side: (PromptFragment, model.FragmentModel)[side],
                                     positional, keywords)
        made = self.both(call, *plans)
        if made[REAL] is not None:
            self.keep(self.fragments, list(made))

    @rule(data=st.data(), template=templates)
    def construct_template(self, data, template):
        tokenizer = data.draw(st.integers(0, len(self.tokenizers) - 1))
        if data.draw(st.integers(0, 4)) == 0:
            positional, keywords = self.call_plan(data, ("template", "tokenizer"))
        else:
            positional, keywords = [("value", template), ("tokenizer", tokenizer)], []
        call, plans = self.call_with(lambda side: (PromptTemplate, model.TemplateModel)[side],
                                     positional, keywords)
        made = self.both(call, *plans)
        if made[REAL] is not None:
            self.keep(self.templates, list(made))

    @rule(template=templates, entry=st.sampled_from(["module", "fragment", "template"]))
    def parse(self, template, entry):
        entries = {
            "module": (frasolet.parse, model.module_parse),
            "fragment": (PromptFragment.parse, model.FragmentModel.parse),
            "template": (PromptTemplate.parse, model.TemplateModel.parse),
        }[entry]
        made = self.both(lambda side, text: entries[side](text), ("value", template))
        for pair in list(zip(*made))[:3]:
            self.keep(self.fragments, list(pair))

    # ---- rules: fragments -------------------------------------------------

    @precondition(lambda self: self.fragments)
    @rule(data=st.data())
    def set_string(self, data):
        index = data.draw(st.integers(0, len(self.fragments) - 1))
        self.both(lambda side, f, v: setattr(f, "string", v), ("fragment", index),
                  self.text_plan(data))

    @precondition(lambda self: self.fragments)
    @rule(data=st.data())
    def set_options(self, data):
        index = data.draw(st.integers(0, len(self.fragments) - 1))
        if data.draw(st.integers(0, 5)) == 0:
            value = ("value", None)
        else:
            value = self.sequence_plan(data, "text", ("fragment", index))
        self.both(lambda side, f, v: setattr(f, "options", v), ("fragment", index), value)

    @precondition(lambda self: self.fragments)
    @rule(data=st.data(), name=st.sampled_from(["string", "options"]))
    def delete_fragment_field(self, data, name):
        index = data.draw(st.integers(0, len(self.fragments) - 1))
        self.both(lambda side, f: delattr(f, name), ("fragment", index))

    @precondition(lambda self: self.fragments)
    @rule(data=st.data())
    def fragment_setstate(self, data):
        index = data.draw(st.integers(0, len(self.fragments) - 1))
        by_keyword = data.draw(st.booleans())
        self.both(lambda side, f, s: f.__setstate__(state=s) if by_keyword else f.__setstate__(s),
                  ("fragment", index), self.fragment_state_plan(data))

    @precondition(lambda self: self.fragments)
    @rule(data=st.data(), extra=st.booleans())
    def fragment_getstate(self, data, extra):
        index = data.draw(st.integers(0, len(self.fragments) - 1))
        self.both(lambda side, f: f.__getstate__(1) if extra else f.__getstate__(),
                  ("fragment", index))

    @precondition(lambda self: self.fragments)
    @rule(data=st.data(), protocol=st.integers(2, pickle.HIGHEST_PROTOCOL))
    def pickle_fragment(self, data, protocol):
        index = data.draw(st.integers(0, len(self.fragments) - 1))
        made = self.both(lambda side, f: pickle.loads(pickle.dumps(f, protocol)),
                         ("fragment", index))
        if made[REAL] is not None:
            self.keep(self.fragments, list(made))

    @precondition(lambda self: self.fragments)
    @rule(data=st.data(), form=st.sampled_from([str, repr, hash]))
    def fragment_forms(self, data, form):
        index = data.draw(st.integers(0, len(self.fragments) - 1))
        self.both(lambda side, f: form(f), ("fragment", index))

    # ---- rules: templates -------------------------------------------------

    @precondition(lambda self: self.templates)
    @rule(data=st.data())
    def set_fragments(self, data):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        self.both(lambda side, t, v: setattr(t, "fragments", v), ("template", index),
                  self.sequence_plan(data, "fragment", ("template", index)))

    @precondition(lambda self: self.templates)
    @rule(data=st.data())
    def get_fragments(self, data):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        made = self.both(lambda side, t: t.fragments, ("template", index))
        for pair in list(zip(*made))[:2]:
            self.keep(self.fragments, list(pair))

    @precondition(lambda self: self.templates)
    @rule(data=st.data())
    def set_tokenizer(self, data):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        value = data.draw(st.one_of(
            st.integers(0, len(self.tokenizers) - 1).map(lambda i: ("tokenizer", i)),
            st.just(("template", index)),
            st.integers(0, len(self.fragments) - 1).map(lambda i: ("fragment", i))
            if self.fragments else st.just(("value", None)),
        ))
        self.both(lambda side, t, v: setattr(t, "tokenizer", v), ("template", index), value)

    @precondition(lambda self: self.templates)
    @rule(data=st.data(), name=st.sampled_from(["tokenizer", "fragments"]))
    def delete_template_field(self, data, name):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        self.both(lambda side, t: delattr(t, name), ("template", index))

    @precondition(lambda self: self.templates)
    @rule(data=st.data())
    def template_setstate(self, data):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        self.both(lambda side, t, s: t.__setstate__(s), ("template", index),
                  self.template_state_plan(data))

    @precondition(lambda self: self.templates)
    @rule(data=st.data(), extra=st.booleans())
    def template_getstate(self, data, extra):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        self.both(lambda side, t: t.__getstate__(state=1) if extra else t.__getstate__(),
                  ("template", index))

    @precondition(lambda self: self.templates)
    @rule(data=st.data(), key=st.one_of(
        st.integers(-2, 6), st.sampled_from([True, False, 1 << 64, (1 << 64) - 1, -(1 << 70),
                                             "0", 1.0, None, slice(0, 1)])))
    def index(self, data, key):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        if data.draw(st.integers(0, 3)) == 0 and type(key) is int:
            key_plan = ("index-hook", key, self.hook_plan(data, ("template", index))
                        or ("read", "template", index, False))
        else:
            key_plan = ("index", key)
        made = self.both(lambda side, t, k: t[k], ("template", index), key_plan)
        if made[REAL] is not None:
            self.keep(self.fragments, list(made))

    @precondition(lambda self: self.templates)
    @rule(data=st.data(), form=st.sampled_from([str, repr, hash, len, list]))
    def template_forms(self, data, form):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        self.both(lambda side, t: form(t), ("template", index))

    @precondition(lambda self: self.templates)
    @rule(data=st.data())
    def iterate(self, data):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        made = self.both(lambda side, t: iter(t), ("template", index))
        self.keep(self.iterators, list(made))

    @precondition(lambda self: self.iterators)
    @rule(data=st.data())
    def next_fragment(self, data):
        index = data.draw(st.integers(0, len(self.iterators) - 1))
        made = self.both(lambda side, it: next(it), ("iterator", index))
        if made[REAL] is not None:
            self.keep(self.fragments, list(made))

    @precondition(lambda self: self.iterators)
    @rule(data=st.data())
    def iterator_iter(self, data):
        index = data.draw(st.integers(0, len(self.iterators) - 1))
        self.both(lambda side, it: iter(it) is it, ("iterator", index))

    @precondition(lambda self: self.templates)
    @rule(data=st.data())
    def pickle_template(self, data):
        index = data.draw(st.integers(0, len(self.templates) - 1))
        self.both(lambda side, t: pickle.loads(pickle.dumps(t)), ("template", index))

    def teardown(self):
        # A template whose tokenizer leads back to it is never freed: the
        # classes take no part in cyclic garbage collection. The only
        # references the module's objects hold are tokenizers, so clearing
        # them breaks every cycle a run made.
        for pair in self.alive:
            for value in pair:
                if type(value) in (PromptTemplate, model.TemplateModel):
                    value.tokenizer = None

    # ---- invariant --------------------------------------------------------

    @invariant()
    def pairs_agree(self):
        for real, reference in self.fragments:
            assert (real.string, real.options) == reference.fields
            assert str(real) == str(reference)
            assert hash(real) == hash(reference)
        for real, reference in self.templates:
            assert [(f.string, f.options) for f in real.fragments] == reference.fields
            assert str(real) == str(reference)
            assert len(real) == len(reference)
            assert hash(real) == hash(reference)
            assert self.observe(real.tokenizer, REAL) == self.observe(reference.tokenizer, MODEL)


TestMachine = Machine.TestCase
TestMachine.pytestmark = [pytest.mark.slow_under_emulation]
TestMachine.settings = settings(
    max_examples=int(os.environ.get("FRASOLET_STATEFUL_EXAMPLES", "60")),
    stateful_step_count=int(os.environ.get("FRASOLET_STATEFUL_STEPS", "40")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much],
)
