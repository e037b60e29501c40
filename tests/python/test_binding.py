"""Argument binding, self checks, borrow flags and value conversions."""

import pytest

import frasolet
from support import fields, raises_exactly

PromptFragment = frasolet.PromptFragment
PromptTemplate = frasolet.PromptTemplate
parse = frasolet.parse

FRAGMENT = PromptFragment("x", ["y"])
TEMPLATE = PromptTemplate("a[b]", None)


def call(func, *args, **kwargs):
    return lambda: func(*args, **kwargs)


class TestTooMany:
    @pytest.mark.parametrize(
        "invoke, message",
        [
            (call(parse, "a", "b"), "parse() takes 1 positional arguments but 2 were given"),
            (call(parse, "a", "b", "c"), "parse() takes 1 positional arguments but 3 were given"),
            (call(PromptFragment.parse, "a", "b"),
             "PromptFragment.parse() takes 1 positional arguments but 2 were given"),
            (call(PromptTemplate.parse, "a", "b"),
             "PromptTemplate.parse() takes 1 positional arguments but 2 were given"),
            (call(FRAGMENT.__getstate__, 1),
             "PromptFragment.__getstate__() takes 0 positional arguments but 1 was given"),
            (call(FRAGMENT.__getstate__, 1, 2),
             "PromptFragment.__getstate__() takes 0 positional arguments but 2 were given"),
            (call(TEMPLATE.__getstate__, 1),
             "PromptTemplate.__getstate__() takes 0 positional arguments but 1 was given"),
            (call(FRAGMENT.__setstate__, {}, {}),
             "PromptFragment.__setstate__() takes 1 positional arguments but 2 were given"),
            (call(PromptFragment, "a", [], None),
             "PromptFragment.__new__() takes from 0 to 2 positional arguments but 3 were given"),
            (call(PromptFragment, 1, 2, 3, 4),
             "PromptFragment.__new__() takes from 0 to 2 positional arguments but 4 were given"),
            (call(PromptTemplate, "a", None, None),
             "PromptTemplate.__new__() takes 2 positional arguments but 3 were given"),
        ],
    )
    def test_message(self, invoke, message):
        raises_exactly(TypeError, message, invoke)


class TestMultipleValues:
    @pytest.mark.parametrize(
        "invoke, message",
        [
            (call(parse, "a", template="b"), "parse() got multiple values for argument 'template'"),
            (call(PromptTemplate.parse, "a", template="a"),
             "PromptTemplate.parse() got multiple values for argument 'template'"),
            (call(PromptFragment.parse, "a", template="a"),
             "PromptFragment.parse() got multiple values for argument 'template'"),
            (call(PromptFragment, "a", string="b"),
             "PromptFragment.__new__() got multiple values for argument 'string'"),
            (call(PromptFragment, "a", [], option=[]),
             "PromptFragment.__new__() got multiple values for argument 'option'"),
            (call(FRAGMENT.__setstate__, {}, state={}),
             "PromptFragment.__setstate__() got multiple values for argument 'state'"),
            (call(PromptTemplate, "a", template="b"),
             "PromptTemplate.__new__() got multiple values for argument 'template'"),
        ],
    )
    def test_message(self, invoke, message):
        raises_exactly(TypeError, message, invoke)


class TestUnexpectedKeyword:
    @pytest.mark.parametrize(
        "invoke, message",
        [
            (call(parse, text="a"), "parse() got an unexpected keyword argument 'text'"),
            (call(parse, template="a", text="b"), "parse() got an unexpected keyword argument 'text'"),
            (call(parse, **{"templat": "a"}), "parse() got an unexpected keyword argument 'templat'"),
            (call(parse, **{"templates": "a"}), "parse() got an unexpected keyword argument 'templates'"),
            (call(parse, **{"Template": "a"}), "parse() got an unexpected keyword argument 'Template'"),
            (call(parse, **{"template\x00": "a"}),
             "parse() got an unexpected keyword argument 'template\x00'"),
            (call(parse, **{"t\u00e9mplate": "a"}),
             "parse() got an unexpected keyword argument 't\u00e9mplate'"),
            (call(parse, **{"\ud800": "a"}),
             "parse() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
            (call(parse, **{"a\udcffb": "a"}),
             "parse() got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb'"),
            (call(PromptFragment, options=["b"]),
             "PromptFragment.__new__() got an unexpected keyword argument 'options'"),
            (call(PromptFragment, **{"string\x00": "a"}),
             "PromptFragment.__new__() got an unexpected keyword argument 'string\x00'"),
            (call(PromptFragment, **{"option\x00x": []}),
             "PromptFragment.__new__() got an unexpected keyword argument 'option\x00x'"),
            (call(FRAGMENT.__setstate__, **{"state\x00": {}}),
             "PromptFragment.__setstate__() got an unexpected keyword argument 'state\x00'"),
            (call(PromptFragment, **{"\udfff": 1}),
             "PromptFragment.__new__() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
            (call(PromptFragment.parse, text="a"),
             "PromptFragment.parse() got an unexpected keyword argument 'text'"),
            (call(FRAGMENT.__getstate__, x=1),
             "PromptFragment.__getstate__() got an unexpected keyword argument 'x'"),
            (call(FRAGMENT.__setstate__, {}, self={}),
             "PromptFragment.__setstate__() got an unexpected keyword argument 'self'"),
            (call(PromptTemplate, "a", None, tokeniser=None),
             "PromptTemplate.__new__() got an unexpected keyword argument 'tokeniser'"),
        ],
    )
    def test_message(self, invoke, message):
        raises_exactly(TypeError, message, invoke)


class TestMissing:
    @pytest.mark.parametrize(
        "invoke, message",
        [
            (call(parse), "parse() missing 1 required positional argument: 'template'"),
            (call(PromptFragment.parse), "PromptFragment.parse() missing 1 required positional argument: 'template'"),
            (call(PromptTemplate.parse), "PromptTemplate.parse() missing 1 required positional argument: 'template'"),
            (call(FRAGMENT.__setstate__),
             "PromptFragment.__setstate__() missing 1 required positional argument: 'state'"),
            (call(PromptTemplate),
             "PromptTemplate.__new__() missing 2 required positional arguments: 'template' and 'tokenizer'"),
            (call(PromptTemplate, "a"),
             "PromptTemplate.__new__() missing 1 required positional argument: 'tokenizer'"),
            (call(PromptTemplate, tokenizer=None),
             "PromptTemplate.__new__() missing 1 required positional argument: 'template'"),
            (call(PromptTemplate, template="a"),
             "PromptTemplate.__new__() missing 1 required positional argument: 'tokenizer'"),
        ],
    )
    def test_message(self, invoke, message):
        raises_exactly(TypeError, message, invoke)


class TestOrderOfChecks:
    @pytest.mark.parametrize(
        "invoke, message",
        [
            # The positional count is checked before any keyword.
            (call(parse, "a", "b", text="c"), "parse() takes 1 positional arguments but 2 were given"),
            (call(parse, "a", "b", template="c"), "parse() takes 1 positional arguments but 2 were given"),
            (call(PromptFragment, 1, 2, 3, bogus=1),
             "PromptFragment.__new__() takes from 0 to 2 positional arguments but 3 were given"),
            # Keywords are looked at in the order given.
            (call(parse, "a", text="b", template="c"), "parse() got an unexpected keyword argument 'text'"),
            (call(parse, "a", template="c", text="b"), "parse() got multiple values for argument 'template'"),
            (call(PromptFragment, 5, string=1, bogus=2),
             "PromptFragment.__new__() got multiple values for argument 'string'"),
            (call(PromptFragment, 5, bogus=2, string=1),
             "PromptFragment.__new__() got an unexpected keyword argument 'bogus'"),
            # Keyword errors come before missing arguments.
            (call(PromptTemplate, bogus=1),
             "PromptTemplate.__new__() got an unexpected keyword argument 'bogus'"),
            (call(PromptTemplate, "a", template="b"),
             "PromptTemplate.__new__() got multiple values for argument 'template'"),
            # Binding comes before any conversion.
            (call(parse, 5, text=1), "parse() got an unexpected keyword argument 'text'"),
            (call(PromptFragment, 5, (), 7), "PromptFragment.__new__() takes from 0 to 2 positional arguments but 3 were given"),
            (call(PromptTemplate, 5), "PromptTemplate.__new__() missing 1 required positional argument: 'tokenizer'"),
            # Conversions follow the parameter order, not the keyword order.
            (call(PromptFragment, option=(1,), string=5),
             "argument 'string': 'int' object cannot be converted to 'PyString'"),
            (call(PromptFragment, option=(1,), string="a"),
             "argument 'option': 'tuple' object cannot be converted to 'PyList'"),
        ],
    )
    def test_first_failure_wins(self, invoke, message):
        raises_exactly(TypeError, message, invoke)

    def test_state_is_untouched_after_a_binding_error(self):
        fragment = PromptFragment("keep", ["o"])
        with pytest.raises(TypeError):
            fragment.__setstate__({"string": "new"}, {"string": "other"})
        with pytest.raises(TypeError):
            fragment.__setstate__({"string": "new"}, bogus=1)
        assert fields(fragment) == ("keep", ["o"])


class Meta(type):
    """Lets a test decide what ``type(obj).__qualname__`` does."""

    qualname_behaviour = None

    def __getattribute__(cls, name):
        if name == "__qualname__":
            behaviour = type.__getattribute__(cls, "qualname_behaviour")
            if behaviour is not None:
                return behaviour()
        return super().__getattribute__(name)


def _raise():
    raise RuntimeError("no qualified name")


def odd_object(behaviour):
    cls = Meta("Odd", (), {"qualname_behaviour": staticmethod(behaviour)})
    return cls()


class Outer:
    class Inner:
        pass


class TestObjectConversionError:
    @pytest.mark.parametrize(
        "value, type_name",
        [
            (Outer.Inner(), "Outer.Inner"),
            (odd_object(lambda: "Fancy"), "Fancy"),
            (odd_object(_raise), "<failed to extract type name>"),
            (odd_object(lambda: 42), "<failed to extract type name>"),
            (odd_object(lambda: None), "<failed to extract type name>"),
            (odd_object(lambda: b"Odd"), "<failed to extract type name>"),
        ],
        ids=["nested", "custom", "raises", "int", "none", "bytes"],
    )
    def test_type_name(self, value, type_name):
        raises_exactly(
            TypeError,
            f"argument 'template': '{type_name}' object cannot be converted to 'PyString'",
            parse, value,
        )
        raises_exactly(
            TypeError,
            f"argument 'option': '{type_name}' object cannot be converted to 'PyList'",
            PromptFragment, "a", value,
        )
        fragment = PromptFragment("s", ["o"])
        raises_exactly(TypeError, f"'{type_name}' object cannot be converted to 'PyString'",
                       setattr, fragment, "string", value)
        raises_exactly(TypeError, f"'{type_name}' object cannot be converted to 'Sequence'",
                       setattr, fragment, "options", value)
        raises_exactly(TypeError, f"'{type_name}' object cannot be converted to 'PyString'",
                       setattr, fragment, "options", ["a", value])
        raises_exactly(TypeError, f"'{type_name}' object cannot be converted to 'PyDict'",
                       fragment.__setstate__, value)
        raises_exactly(TypeError, f"'{type_name}' object cannot be converted to 'PyString'",
                       fragment.__setstate__, {value: 1})
        template = PromptTemplate("a", None)
        raises_exactly(TypeError, f"'{type_name}' object cannot be converted to 'PromptFragment'",
                       setattr, template, "fragments", [PromptFragment("b"), value])
        assert fields(fragment) == ("s", ["o"])
        assert str(template) == "a"

    def test_local_class_uses_the_qualified_name(self):
        class Local:
            pass

        raises_exactly(
            TypeError,
            "'TestObjectConversionError.test_local_class_uses_the_qualified_name.<locals>.Local'"
            " object cannot be converted to 'PyString'",
            setattr, PromptFragment(), "string", Local(),
        )

    def test_prefix_only_for_named_arguments(self):
        raises_exactly(TypeError, "argument 'template': 'int' object cannot be converted to 'PyString'",
                       parse, template=5)
        raises_exactly(TypeError, "argument 'option': 'dict' object cannot be converted to 'PyList'",
                       PromptFragment, "a", {})
        # An item of the option list, a setter value and a state are not prefixed.
        raises_exactly(TypeError, "'int' object cannot be converted to 'PyString'", PromptFragment, "a", [5])
        raises_exactly(TypeError, "'list' object cannot be converted to 'PyDict'",
                       PromptFragment().__setstate__, [])
        raises_exactly(TypeError, "'list' object cannot be converted to 'PyDict'",
                       PromptFragment().__setstate__, state=[])

    def test_prefixed_error_has_no_cause(self):
        error = raises_exactly(TypeError, "argument 'string': 'int' object cannot be converted to 'PyString'",
                               PromptFragment, 5)
        assert error.__cause__ is None

    @pytest.mark.parametrize(
        "invoke",
        [
            call(parse, "\ud800"),
            call(parse, template="x\udc00"),
            call(PromptFragment, "\ud800"),
            call(PromptFragment, string="\ud800"),
        ],
    )
    def test_encoding_error_is_not_prefixed(self, invoke):
        with pytest.raises(UnicodeEncodeError) as info:
            invoke()
        assert type(info.value) is UnicodeEncodeError
        assert info.value.encoding == "utf-8"
        assert "argument" not in str(info.value)


def _tp_name(cls):
    return cls.__qualname__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"


def _self_check_messages(name, wrong_type):
    # The interpreter's own descriptors check self before the module's entry
    # runs; either check must give a TypeError naming both types.
    target = _tp_name(PromptFragment)
    return {
        f"'{wrong_type.__qualname__}' object cannot be converted to 'PromptFragment'",
        f"descriptor '{name}' for '{target}' objects doesn't apply to a '{_tp_name(wrong_type)}' object",
        f"descriptor '{name}' requires a '{target}' object but received a '{_tp_name(wrong_type)}'",
    }


class TestSelfCheck:
    @pytest.mark.parametrize("wrong", [5, "x", PromptTemplate("a", None), 2.5], ids=repr)
    @pytest.mark.parametrize(
        "name, invoke",
        [
            ("__getstate__", lambda w: PromptFragment.__getstate__(w)),
            ("__setstate__", lambda w: PromptFragment.__setstate__(w, {"string": "a"})),
            ("string", lambda w: PromptFragment.string.__get__(w)),
            ("options", lambda w: PromptFragment.options.__get__(w)),
            ("string", lambda w: PromptFragment.string.__set__(w, "a")),
            ("options", lambda w: PromptFragment.options.__set__(w, ["a"])),
            ("string", lambda w: PromptFragment.string.__delete__(w)),
            ("__str__", lambda w: PromptFragment.__str__(w)),
            ("__repr__", lambda w: PromptFragment.__repr__(w)),
            ("__hash__", lambda w: PromptFragment.__hash__(w)),
        ],
    )
    def test_wrong_self(self, name, invoke, wrong):
        with pytest.raises(TypeError) as info:
            invoke(wrong)
        assert type(info.value) is TypeError
        assert str(info.value) in _self_check_messages(name, type(wrong))

    def test_subclass_instance_passes(self):
        class Sub(PromptFragment):
            pass

        sub = Sub("a", ["b"])
        assert PromptFragment.string.__get__(sub) == "a"
        assert PromptFragment.__getstate__(sub) == {"string": "a", "options": ["b"]}
        PromptFragment.options.__set__(sub, ["c"])
        assert PromptFragment.__str__(sub) == "[a|c]"


class Reentrant:
    """A sequence that runs ``action`` from one of its protocol methods.

    ``where`` picks the method: "iter", "getitem" or "len".  What the action
    raised is kept in ``caught``; with ``swallow`` false it is re-raised.
    """

    def __init__(self, action, where, swallow, items=("p", "q")):
        self.action = action
        self.where = where
        self.swallow = swallow
        self.items = list(items)
        self.caught = []

    def _run(self, where):
        if where != self.where:
            return
        try:
            self.action()
        except Exception as error:  # noqa: BLE001 - recorded for the test
            self.caught.append(error)
            if not self.swallow:
                raise
        else:
            self.caught.append(None)

    def __len__(self):
        self._run("len")
        return len(self.items)

    def __getitem__(self, index):
        self._run("getitem")
        return self.items[index]


class ReentrantIter(Reentrant):
    def __iter__(self):
        self._run("iter")
        return iter(self.items)


READERS = {
    "get-string": lambda f: f.string,
    "get-options": lambda f: f.options,
    "str": str,
    "repr": repr,
    "hash": hash,
    "getstate": lambda f: f.__getstate__(),
    "extract": lambda f: setattr(PromptTemplate("a", None), "fragments", [f]),
    # The borrow is checked before the arguments are bound.
    "getstate-bad-arguments": lambda f: f.__getstate__(1, x=2),
}

WRITERS = {
    "set-string": lambda f: setattr(f, "string", "w"),
    "set-options": lambda f: setattr(f, "options", ["w"]),
    "clear-options": lambda f: setattr(f, "options", None),
    "setstate": lambda f: f.__setstate__({}),
    # The borrow is checked before deletion, binding and conversion.
    "delete-string": lambda f: delattr(f, "string"),
    "delete-options": lambda f: delattr(f, "options"),
    "set-string-bad-value": lambda f: setattr(f, "string", 5),
    "setstate-missing-state": lambda f: f.__setstate__(),
    "setstate-not-a-dict": lambda f: f.__setstate__([]),
}

INNER = [pytest.param(func, "Already mutably borrowed", id=name) for name, func in READERS.items()] + [
    pytest.param(func, "Already borrowed", id=name) for name, func in WRITERS.items()
]

OUTER = [
    pytest.param(lambda f, seq: setattr(f, "options", seq), id="options-setter"),
    pytest.param(lambda f, seq: f.__setstate__({"options": seq}), id="setstate"),
]


class TestReentrancy:
    @pytest.mark.parametrize("outer", OUTER)
    @pytest.mark.parametrize("where", ["iter", "getitem"])
    @pytest.mark.parametrize("inner, message", INNER)
    def test_inner_error_ends_the_outer_call(self, outer, where, inner, message):
        fragment = PromptFragment("s", ["o"])
        cls = ReentrantIter if where == "iter" else Reentrant
        sequence = cls(lambda: inner(fragment), where, swallow=False)
        raises_exactly(RuntimeError, message, outer, fragment, sequence)
        assert len(sequence.caught) == 1
        assert fields(fragment) == ("s", ["o"])
        self._check_usable(fragment)

    @pytest.mark.parametrize("outer", OUTER)
    @pytest.mark.parametrize("where", ["iter", "getitem", "len"])
    @pytest.mark.parametrize("inner, message", INNER)
    def test_swallowed_inner_error(self, outer, where, inner, message):
        fragment = PromptFragment("s", ["o"])
        cls = ReentrantIter if where == "iter" else Reentrant
        sequence = cls(lambda: inner(fragment), where, swallow=True)
        outer(fragment, sequence)
        assert sequence.caught, "the protocol method was never called"
        for error in sequence.caught:
            assert type(error) is RuntimeError
            assert error.args == (message,)
        assert fields(fragment) == ("s", ["p", "q"])
        self._check_usable(fragment)

    def test_other_fragments_are_free(self):
        fragment = PromptFragment("s")
        other = PromptFragment("t")

        def touch_other():
            other.string = other.string + "!"
            assert str(other) == "t!"

        sequence = ReentrantIter(touch_other, "iter", swallow=False)
        fragment.options = sequence
        assert sequence.caught == [None]
        assert fields(fragment) == ("s", ["p", "q"])
        assert fields(other) == ("t!", None)

    def test_stateless_entries_are_free(self):
        fragment = PromptFragment("s")
        sequence = ReentrantIter(lambda: (frasolet.parse("a[b]"), PromptFragment("n", [])), "iter", swallow=False)
        fragment.options = sequence
        assert sequence.caught == [None]

    @staticmethod
    def _check_usable(fragment):
        before = fields(fragment)
        assert str(fragment) is not None
        fragment.string = "after"
        fragment.options = ["x"]
        assert fields(fragment) == ("after", ["x"])
        fragment.__setstate__({"string": before[0], "options": before[1]})
        assert fields(fragment) == before


class TestSequenceConversion:
    class Items:
        """A sequence without ``__iter__``: items come from ``__getitem__``."""

        def __init__(self, items, length):
            self.items = items
            self.length = length
            self.len_calls = 0

        def __len__(self):
            self.len_calls += 1
            return self.length()

        def __getitem__(self, index):
            return self.items[index]

    @pytest.mark.parametrize(
        "length",
        [
            pytest.param(lambda: 1 // 0, id="raises"),
            pytest.param(lambda: 2 ** 40, id="huge"),
            pytest.param(lambda: 2 ** 62, id="larger"),
            pytest.param(lambda: 2 ** 70, id="overflow"),
            pytest.param(lambda: -1, id="negative"),
            pytest.param(lambda: "two", id="not-int"),
            pytest.param(lambda: 0, id="too-small"),
            pytest.param(lambda: 1, id="short"),
        ],
    )
    @pytest.mark.parametrize("target", ["setter", "setstate"])
    def test_length_only_sizes(self, length, target):
        fragment = PromptFragment("s")
        sequence = self.Items(["ab", "cd"], length)
        if target == "setter":
            fragment.options = sequence
        else:
            fragment.__setstate__({"options": sequence})
        assert fields(fragment) == ("s", ["ab", "cd"])
        assert sequence.len_calls == 1
        # An exception left pending by the length query would make the next
        # built-in call fail with SystemError.
        assert len([1]) == 1

    def test_item_error_passes_unchanged(self):
        class Broken:
            def __len__(self):
                return 3

            def __getitem__(self, index):
                if index == 1:
                    raise KeyError("second")
                return "ok"

        fragment = PromptFragment("s", ["keep"])
        with pytest.raises(KeyError) as info:
            fragment.options = Broken()
        assert info.value.args == ("second",)
        assert fields(fragment) == ("s", ["keep"])

    @pytest.mark.parametrize(
        "iterator, exc_type",
        [
            (lambda self: 1 // 0, ZeroDivisionError),
            (lambda self: 5, TypeError),
            (lambda self: (x for x in ["a", 1]), TypeError),
        ],
        ids=["raises", "not-an-iterator", "bad-item"],
    )
    def test_iteration_errors(self, iterator, exc_type):
        cls = type("Seq", (), {"__iter__": iterator, "__getitem__": lambda self, i: "x", "__len__": lambda self: 1})
        fragment = PromptFragment("s", ["keep"])
        with pytest.raises(exc_type):
            fragment.options = cls()
        assert fields(fragment) == ("s", ["keep"])

    def test_iter_is_preferred_to_getitem(self):
        cls = type("Seq", (), {
            "__iter__": lambda self: iter(["from-iter"]),
            "__getitem__": lambda self, i: "from-getitem",
        })
        fragment = PromptFragment("s")
        fragment.options = cls()
        assert fragment.options == ["from-iter"]

    def test_str_subclass_items_are_read_directly(self):
        calls = []

        class Text(str):
            def __str__(self):
                calls.append("str")
                return "wrong"

            def encode(self, *args, **kwargs):
                calls.append("encode")
                return b"wrong"

            def __len__(self):
                calls.append("len")
                return 0

        fragment = PromptFragment("s")
        fragment.options = [Text("ab"), Text("")]
        fragment.string = Text("name")
        assert fields(fragment) == ("name", ["ab", ""])
        fragment.__setstate__({Text("string"): Text("v"), "options": (Text("w"),)})
        assert fields(fragment) == ("v", ["w"])
        assert calls == []

    def test_str_subclass_as_options_is_iterated(self):
        class Text(str):
            pass

        fragment = PromptFragment("s")
        fragment.options = Text("xyz")
        assert fragment.options == ["x", "y", "z"]


class TestDictSubclassState:
    def test_overridden_methods_are_not_called(self):
        calls = []

        def record(name):
            def method(self, *args, **kwargs):
                calls.append(name)
                raise AssertionError(name)
            return method

        names = ["__iter__", "__getitem__", "__len__", "__contains__", "items", "keys", "values", "get",
                 "__eq__", "__bool__", "copy"]
        State = type("State", (dict,), {name: record(name) for name in names})
        state = State()
        dict.__setitem__(state, "string", "from-storage")
        dict.__setitem__(state, "options", ["o"])
        fragment = PromptFragment("z")
        assert fragment.__setstate__(state) is None
        assert calls == []
        assert fields(fragment) == ("from-storage", ["o"])

    def test_storage_order_not_overridden_order(self):
        class Reversed(dict):
            def __iter__(self):
                return iter(reversed(list(dict.keys(self))))

            def items(self):
                return reversed(list(dict.items(self)))

            def keys(self):
                return reversed(list(dict.keys(self)))

        # Storage order: "string" first, so it is applied before "options" fails.
        state = Reversed(string="a", options=5)
        fragment = PromptFragment("z")
        raises_exactly(TypeError, "'int' object cannot be converted to 'Sequence'", fragment.__setstate__, state)
        assert fields(fragment) == ("a", None)
