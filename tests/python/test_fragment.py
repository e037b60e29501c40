"""PromptFragment: construction, fields, text forms, hash, state and copying."""

import collections
import copy
import os
import pickle
import weakref

import pytest

import frasolet
from support import fields, raises_exactly, run_script

PromptFragment = frasolet.PromptFragment

OPTION_STATES = [
    pytest.param(None, id="absent"),
    pytest.param([], id="empty"),
    pytest.param(["a", "b"], id="filled"),
]

# The reference hash, written out from the rules in the test model.
from model import text_hash as expected_hash  # noqa: E402


class SubFragment(PromptFragment):
    """A plain subclass, at module level so that pickle can find it."""


class TestConstructor:
    @pytest.mark.parametrize(
        "args, kwargs, expected",
        [
            ((), {}, ("", None)),
            ((None,), {}, ("", None)),
            ((None, None), {}, ("", None)),
            (("x",), {}, ("x", None)),
            (("x", []), {}, ("x", [])),
            (("x", ["a", "b"]), {}, ("x", ["a", "b"])),
            (("",), {}, ("", None)),
            (("", [""]), {}, ("", [""])),
            ((), {"string": "a", "option": ["b"]}, ("a", ["b"])),
            ((), {"option": ["b"], "string": "a"}, ("a", ["b"])),
            ((), {"option": []}, ("", [])),
            (("a",), {"option": None}, ("a", None)),
            ((None,), {"option": ["c"]}, ("", ["c"])),
            ((), {"string": None, "option": None}, ("", None)),
            (("[a|b]", ["x,y", "|", "]"]), {}, ("[a|b]", ["x,y", "|", "]"])),
            (("\u00e9\U0001f600", ["\u4e2d"]), {}, ("\u00e9\U0001f600", ["\u4e2d"])),
            (("a\x00b", ["\x00"]), {}, ("a\x00b", ["\x00"])),
        ],
    )
    def test_fields(self, args, kwargs, expected):
        fragment = PromptFragment(*args, **kwargs)
        assert type(fragment) is PromptFragment
        assert fields(fragment) == expected

    def test_subclass_values(self):
        class Text(str):
            def __str__(self):
                return "wrong"

        class Options(list):
            pass

        fragment = PromptFragment(Text("name"), Options([Text("a"), "b"]))
        assert fields(fragment) == ("name", ["a", "b"])
        assert type(fragment.string) is str
        assert [type(o) for o in fragment.options] == [str, str]
        assert type(fragment.options) is list

    def test_option_list_is_read_through_iteration(self):
        class Options(list):
            def __iter__(self):
                return iter(["from-iter"])

        assert PromptFragment("s", Options(["a", "b"])).options == ["from-iter"]

    @pytest.mark.parametrize(
        "args, kwargs, exc_type, message",
        [
            ((5,), {}, TypeError, "argument 'string': 'int' object cannot be converted to 'PyString'"),
            ((b"x",), {}, TypeError, "argument 'string': 'bytes' object cannot be converted to 'PyString'"),
            ((), {"string": 1.5}, TypeError, "argument 'string': 'float' object cannot be converted to 'PyString'"),
            (("a", ("b",)), {}, TypeError, "argument 'option': 'tuple' object cannot be converted to 'PyList'"),
            (("a", "b"), {}, TypeError, "argument 'option': 'str' object cannot be converted to 'PyList'"),
            (("a",), {"option": {"b"}}, TypeError, "argument 'option': 'set' object cannot be converted to 'PyList'"),
            (("a", [1]), {}, TypeError, "'int' object cannot be converted to 'PyString'"),
            (("a", ["b", None]), {}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
            (("a", ["b", b"c"]), {}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
            ((), {"options": ["b"]}, TypeError, "PromptFragment.__new__() got an unexpected keyword argument 'options'"),
            (("a", [], 3), {}, TypeError,
             "PromptFragment.__new__() takes from 0 to 2 positional arguments but 3 were given"),
            (("a",), {"string": "b"}, TypeError, "PromptFragment.__new__() got multiple values for argument 'string'"),
            (("a", []), {"option": []}, TypeError,
             "PromptFragment.__new__() got multiple values for argument 'option'"),
        ],
    )
    def test_errors(self, args, kwargs, exc_type, message):
        raises_exactly(exc_type, message, PromptFragment, *args, **kwargs)

    def test_string_is_converted_before_option(self):
        raises_exactly(
            TypeError,
            "argument 'string': 'int' object cannot be converted to 'PyString'",
            PromptFragment,
            option=(1,),
            string=5,
        )

    @pytest.mark.parametrize(
        "args", [("a\ud800",), ("a", ["b", "\udfff"])], ids=["string", "option-item"]
    )
    def test_lone_surrogate_is_the_encoding_error(self, args):
        with pytest.raises(UnicodeEncodeError) as info:
            PromptFragment(*args)
        assert type(info.value) is UnicodeEncodeError
        assert not str(info.value).startswith("argument")

    def test_keeps_its_own_copy_of_the_option_list(self):
        options = ["a", "b"]
        fragment = PromptFragment("x", options)
        options.append("c")
        options[0] = "z"
        assert fragment.options == ["a", "b"]


class TestString:
    def test_get_gives_a_str(self):
        assert PromptFragment().string == ""
        assert type(PromptFragment("abc").string) is str

    @pytest.mark.parametrize("value", ["b", "", "[x|y]", "\U0001f600\u00e9", "a\x00b", "long " * 1000])
    def test_set(self, value):
        fragment = PromptFragment("a", ["o"])
        fragment.string = value
        assert fields(fragment) == (value, ["o"])

    @pytest.mark.parametrize("wide", ["\x80", "\xff", "\u0100", "\u07ff", "\u0800", "\uffff",
                                      "\U00010000", "\U0010ffff"])
    def test_read_back_every_width_at_every_offset(self, wide):
        # The str is sized and filled from the UTF-8 a word at a time, with
        # the last partial word read apart: every length and offset around
        # one and two words, for each boundary of the str's storage width.
        for length in range(1, 20):
            for offset in range(length):
                value = "a" * offset + wide + "\xe9" * (length - offset - 1)
                read = PromptFragment(value, [value]).string
                # A str stored wider than its widest character never
                # compares equal to one that is not.
                assert read == value

    def test_set_str_subclass(self):
        class Text(str):
            def __str__(self):
                return "wrong"

        fragment = PromptFragment("a")
        fragment.string = Text("right")
        assert type(fragment.string) is str
        assert fragment.string == "right"

    @pytest.mark.parametrize(
        "value, message",
        [
            (None, "'NoneType' object cannot be converted to 'PyString'"),
            (5, "'int' object cannot be converted to 'PyString'"),
            (b"b", "'bytes' object cannot be converted to 'PyString'"),
            (["b"], "'list' object cannot be converted to 'PyString'"),
        ],
    )
    def test_set_refused(self, value, message):
        fragment = PromptFragment("a", ["o"])
        raises_exactly(TypeError, message, setattr, fragment, "string", value)
        assert fields(fragment) == ("a", ["o"])

    def test_set_lone_surrogate(self):
        fragment = PromptFragment("a")
        with pytest.raises(UnicodeEncodeError):
            fragment.string = "\ud800"
        assert fragment.string == "a"


class TestOptions:
    @pytest.mark.parametrize("initial", OPTION_STATES)
    @pytest.mark.parametrize(
        "value, expected",
        [
            (None, None),
            ([], []),
            ((), []),
            ("", []),
            ("ab", ["a", "b"]),
            (("b",), ["b"]),
            (["x", "", "y,z"], ["x", "", "y,z"]),
            (("\u00e9", "\U0001f600"), ["\u00e9", "\U0001f600"]),
            (range(0), []),
            (collections.deque(["d1", "d2"]), ["d1", "d2"]),
            (frasolet.PromptTemplate(None, None), []),
        ],
    )
    def test_set(self, initial, value, expected):
        fragment = PromptFragment("s", initial)
        fragment.options = value
        assert fields(fragment) == ("s", expected)

    @pytest.mark.parametrize("initial", OPTION_STATES)
    @pytest.mark.parametrize(
        "value, message",
        [
            (5, "'int' object cannot be converted to 'Sequence'"),
            ({"a"}, "'set' object cannot be converted to 'Sequence'"),
            ({"a": "b"}, "'dict' object cannot be converted to 'Sequence'"),
            ((x for x in ["a"]), "'generator' object cannot be converted to 'Sequence'"),
            (iter(["a"]), "'list_iterator' object cannot be converted to 'Sequence'"),
            (frozenset(), "'frozenset' object cannot be converted to 'Sequence'"),
            ([1], "'int' object cannot be converted to 'PyString'"),
            (["a", "b", 3], "'int' object cannot be converted to 'PyString'"),
            (("a", None), "'NoneType' object cannot be converted to 'PyString'"),
            (b"ab", "'int' object cannot be converted to 'PyString'"),
            (range(2), "'int' object cannot be converted to 'PyString'"),
            ([["a"]], "'list' object cannot be converted to 'PyString'"),
            ({"a": 1}.keys(), "'dict_keys' object cannot be converted to 'Sequence'"),
            (frasolet.PromptTemplate("a[b]", None), "'PromptFragment' object cannot be converted to 'PyString'"),
        ],
    )
    def test_set_refused(self, initial, value, message):
        fragment = PromptFragment("s", initial)
        raises_exactly(TypeError, message, setattr, fragment, "options", value)
        assert fields(fragment) == ("s", initial)

    def test_set_lone_surrogate_item(self):
        fragment = PromptFragment("s", ["keep"])
        with pytest.raises(UnicodeEncodeError):
            fragment.options = ["fine", "\udc80"]
        assert fragment.options == ["keep"]

    def test_get_gives_a_new_list_each_time(self):
        fragment = PromptFragment("s", ["ab", "cd"])
        first = fragment.options
        assert type(first) is list
        assert first is not fragment.options
        first.append("z")
        first[0] = "changed"
        assert fragment.options == ["ab", "cd"]

    def test_setter_copies_the_sequence(self):
        value = ["a", "b"]
        fragment = PromptFragment("s")
        fragment.options = value
        value.append("c")
        assert fragment.options == ["a", "b"]


class TestDeletion:
    @pytest.mark.parametrize("name", ["string", "options"])
    @pytest.mark.parametrize("initial", OPTION_STATES)
    def test_delete_is_refused(self, name, initial):
        fragment = PromptFragment("keep", initial)
        raises_exactly(AttributeError, "can't delete attribute", delattr, fragment, name)
        assert fields(fragment) == ("keep", initial)

    def test_delete_through_descriptor(self):
        fragment = PromptFragment("keep", ["o"])
        raises_exactly(AttributeError, "can't delete attribute", PromptFragment.options.__delete__, fragment)
        raises_exactly(AttributeError, "can't delete attribute", PromptFragment.string.__delete__, fragment)
        assert fields(fragment) == ("keep", ["o"])


class TestTextForms:
    @pytest.mark.parametrize(
        "string, options, text, representation",
        [
            ("", None, "", '""'),
            ("Hello", None, "Hello", '"Hello"'),
            ("name", [], "[name]", "[name]"),
            ("name", ["a"], "[name|a]", "[name]"),
            ("name", ["a", "b"], "[name|a,b]", "[name]"),
            ("x", [""], "[x|]", "[x]"),
            ("x", ["", ""], "[x|,]", "[x]"),
            ("a|b", ["c"], "[a|b|c]", "[a|b]"),
            ("[x]", None, "[x]", '"[x]"'),
            ('a"b', None, 'a"b', '"a"b"'),
            ("a\\b\n", None, "a\\b\n", '"a\\b\n"'),
            ("", [], "[]", "[]"),
            ("a\x00b", ["\x00"], "[a\x00b|\x00]", "[a\x00b]"),
            ("\u00e9", ["\U0001f600", "\u00df"], "[\u00e9|\U0001f600,\u00df]", "[\u00e9]"),
        ],
    )
    def test_str_and_repr(self, string, options, text, representation):
        fragment = PromptFragment(string, options)
        assert str(fragment) == text
        assert repr(fragment) == representation
        assert type(str(fragment)) is str
        assert type(repr(fragment)) is str

    def test_forms_follow_the_fields(self):
        fragment = PromptFragment("a")
        fragment.options = ["x"]
        assert (str(fragment), repr(fragment)) == ("[a|x]", "[a]")
        fragment.string = "b"
        fragment.options = None
        assert (str(fragment), repr(fragment)) == ("b", '"b"')


class TestHash:
    @pytest.mark.parametrize(
        "string, options, value",
        [
            ("", None, 3476900567878811119),
            ("abc", None, -1222198482973350627),
            ("x", ["a", "b"], -4291059149704120025),
            ("hello world, this is longer than 16 bytes", None, -3123554917125471047),
        ],
    )
    def test_known_values(self, string, options, value):
        assert expected_hash(str(PromptFragment(string, options))) == value
        assert hash(PromptFragment(string, options)) == value

    @pytest.mark.parametrize(
        "string, options",
        [
            ("a" * n, None) for n in range(0, 18)
        ] + [
            ("x", []),
            ("x", [""]),
            ("name", ["a", "b", "c"]),
            ("\u00e9\U0001f600", ["\u4e2d"]),
            ("a\x00b", None),
            ("long " * 300, ["o"] * 40),
        ],
    )
    def test_siphash_of_the_text_form(self, string, options):
        fragment = PromptFragment(string, options)
        assert hash(fragment) == expected_hash(str(fragment))

    def test_equal_text_forms_hash_equal(self):
        assert hash(PromptFragment("[x]")) == hash(PromptFragment("x", []))
        assert repr(PromptFragment("[x]")) != repr(PromptFragment("x", []))
        assert hash(PromptFragment("x")) != hash(PromptFragment("x", []))

    def test_hash_follows_the_fields(self):
        fragment = PromptFragment("abc")
        assert hash(fragment) == -1222198482973350627
        fragment.string = "b"
        assert hash(fragment) == expected_hash("b")
        fragment.options = []
        assert hash(fragment) == expected_hash("[b]")
        fragment.__setstate__({"options": ["q"]})
        assert hash(fragment) == expected_hash("[b|q]")

    def test_same_in_every_process(self):
        script = """
            import frasolet
            F = frasolet.PromptFragment
            print(hash(F("abc")), hash(F("x", ["a", "b"])), hash(F()))
        """
        seen = set()
        for seed in ("0", "1", "12345", "random"):
            env = dict(os.environ, PYTHONHASHSEED=seed)
            done = run_script(script, env=env, timeout=60)
            assert done.returncode == 0, done.stderr
            seen.add(done.stdout.strip())
        assert seen == {"-1222198482973350627 -4291059149704120025 3476900567878811119"}


class TestState:
    @pytest.mark.parametrize(
        "string, options, state",
        [
            ("", None, {"string": ""}),
            ("x", None, {"string": "x"}),
            ("x", [], {"string": "x", "options": []}),
            ("x", ["a", "b"], {"string": "x", "options": ["a", "b"]}),
        ],
    )
    def test_getstate(self, string, options, state):
        fragment = PromptFragment(string, options)
        result = fragment.__getstate__()
        assert type(result) is dict
        assert result == state
        assert list(result) == list(state)
        assert type(result["string"]) is str
        if options is not None:
            assert type(result["options"]) is list
            assert result["options"] is not fragment.__getstate__()["options"]

    def test_getstate_is_a_copy(self):
        fragment = PromptFragment("x", ["a"])
        state = fragment.__getstate__()
        state["options"].append("b")
        state["string"] = "y"
        assert fields(fragment) == ("x", ["a"])
        assert fragment.__getstate__() is not fragment.__getstate__()

    @pytest.mark.parametrize(
        "initial, state, error, after",
        [
            # Entries are visited in dict order; there is no rollback.
            (("z", None), {"string": "a", "options": 5},
             (TypeError, "'int' object cannot be converted to 'Sequence'"), ("a", None)),
            (("z", None), {"options": 5, "string": "a"},
             (TypeError, "'int' object cannot be converted to 'Sequence'"), ("z", None)),
            (("z", ["o"]), {"options": ["p"], "string": 5},
             (TypeError, "'int' object cannot be converted to 'PyString'"), ("z", ["p"])),
            (("z", None), {"string": "a", 1: 2},
             (TypeError, "'int' object cannot be converted to 'PyString'"), ("a", None)),
            (("z", None), {1: 2, "string": "a"},
             (TypeError, "'int' object cannot be converted to 'PyString'"), ("z", None)),
            (("z", None), {"extra": object(), None: "x", "string": "a"},
             (TypeError, "'NoneType' object cannot be converted to 'PyString'"), ("z", None)),
            (("z", ["o"]), {"options": ["a", 1]},
             (TypeError, "'int' object cannot be converted to 'PyString'"), ("z", ["o"])),
            (("z", ["o"]), {"options": None},
             (TypeError, "'NoneType' object cannot be converted to 'Sequence'"), ("z", ["o"])),
            (("z", None), {"string": None},
             (TypeError, "'NoneType' object cannot be converted to 'PyString'"), ("z", None)),
            (("z", None), {"string": b"a"},
             (TypeError, "'bytes' object cannot be converted to 'PyString'"), ("z", None)),
            (("z", None), {"options": {"a"}},
             (TypeError, "'set' object cannot be converted to 'Sequence'"), ("z", None)),
            # Successful applications.
            (("z", None), {"options": "ab"}, None, ("z", ["a", "b"])),
            (("z", None), {"options": ()}, None, ("z", [])),
            (("z", ["o"]), {"options": ("p", "q")}, None, ("z", ["p", "q"])),
            (("z", ["o"]), {"string": "a"}, None, ("a", ["o"])),
            (("z", []), {"string": "a", "options": ["b"]}, None, ("a", ["b"])),
            (("z", ["o"]), {}, None, ("z", ["o"])),
            (("z", None), {"extra": object()}, None, ("z", None)),
            (("z", None), {"extra": 5, "other": None}, None, ("z", None)),
            # Keys are compared exactly, byte for byte.
            (("z", None), {"String": "a", "OPTIONS": 5}, None, ("z", None)),
            (("z", None), {"string\x00": "a", "options ": 5, "strin": 5}, None, ("z", None)),
            (("z", None), {"\u00e9": 5}, None, ("z", None)),
        ],
    )
    def test_setstate(self, initial, state, error, after):
        fragment = PromptFragment(*initial)
        if error is None:
            assert fragment.__setstate__(state) is None
        else:
            raises_exactly(*error, fragment.__setstate__, state)
        assert fields(fragment) == after

    def test_setstate_lone_surrogate_key(self):
        fragment = PromptFragment("z")
        with pytest.raises(UnicodeEncodeError):
            fragment.__setstate__({"string": "a", "\ud800": 1, "options": ["b"]})
        assert fields(fragment) == ("a", None)

    def test_setstate_by_keyword(self):
        fragment = PromptFragment()
        assert fragment.__setstate__(state={"string": "k"}) is None
        assert fragment.string == "k"

    def test_setstate_str_subclass_key_and_value(self):
        class Key(str):
            def __eq__(self, other):
                return False

            def __hash__(self):
                return 7

        class Text(str):
            def __str__(self):
                return "wrong"

        fragment = PromptFragment()
        fragment.__setstate__({Key("string"): Text("value"), Key("options"): [Text("o")]})
        assert fields(fragment) == ("value", ["o"])
        assert type(fragment.string) is str

    @pytest.mark.parametrize(
        "state, type_name",
        [
            ([("string", "a")], "list"),
            (None, "NoneType"),
            ("string", "str"),
            (type("D", (), {})(), "D"),
            (type.__dict__, "mappingproxy"),
        ],
    )
    def test_setstate_needs_a_dict(self, state, type_name):
        fragment = PromptFragment("z", ["o"])
        raises_exactly(
            TypeError, f"'{type_name}' object cannot be converted to 'PyDict'", fragment.__setstate__, state
        )
        assert fields(fragment) == ("z", ["o"])

    @pytest.mark.parametrize("options", OPTION_STATES)
    def test_state_round_trip(self, options):
        original = PromptFragment("name", options)
        restored = PromptFragment()
        restored.__setstate__(original.__getstate__())
        assert fields(restored) == fields(original)
        assert (str(restored), repr(restored), hash(restored)) == (str(original), repr(original), hash(original))


class TestCopyAndPickle:
    COPIERS = [
        pytest.param(lambda f, p=p: pickle.loads(pickle.dumps(f, protocol=p)), id=f"pickle-{p}")
        for p in range(2, pickle.HIGHEST_PROTOCOL + 1)
    ] + [
        pytest.param(copy.copy, id="copy"),
        pytest.param(copy.deepcopy, id="deepcopy"),
    ]

    @pytest.mark.parametrize("copier", COPIERS)
    @pytest.mark.parametrize("options", OPTION_STATES)
    @pytest.mark.parametrize("cls", [PromptFragment, SubFragment])
    def test_round_trip(self, copier, options, cls):
        original = cls("na[m]e", options)
        duplicate = copier(original)
        assert type(duplicate) is cls
        assert duplicate is not original
        assert fields(duplicate) == ("na[m]e", options)
        assert str(duplicate) == str(original)
        duplicate.string = "other"
        if options is not None:
            duplicate.options = ["changed"]
        assert fields(original) == ("na[m]e", options)

    def test_pickle_in_a_container_keeps_identity(self):
        fragment = PromptFragment("x", ["y"])
        first, second = pickle.loads(pickle.dumps([fragment, fragment], protocol=4))
        assert first is second
        assert fields(first) == ("x", ["y"])


class TestClassObject:
    def test_names(self):
        assert PromptFragment.__name__ == "PromptFragment"
        assert PromptFragment.__qualname__ == "PromptFragment"
        assert PromptFragment.__module__ == "frasolet"
        assert PromptFragment.__bases__ == (object,)
        assert PromptFragment.__mro__ == (PromptFragment, object)

    def test_flags(self):
        base_type = 1 << 10
        has_gc = 1 << 14
        heap_type = 1 << 9
        assert PromptFragment.__flags__ & base_type
        assert PromptFragment.__flags__ & heap_type
        assert not PromptFragment.__flags__ & has_gc

    def test_members(self):
        members = vars(PromptFragment)
        for name in ("string", "options"):
            assert type(members[name]).__name__ == "getset_descriptor"
        for name in ("__getstate__", "__setstate__"):
            assert type(members[name]).__name__ == "method_descriptor"
        for name in ("__new__", "__str__", "__repr__", "__hash__", "parse"):
            assert name in members
        for name in ("__init__", "__eq__", "__lt__", "__iter__", "__len__", "__getitem__",
                     "__dict__", "__weakref__", "__reduce__", "__getnewargs__"):
            assert name not in members

    def test_no_instance_dict(self):
        fragment = PromptFragment("a")
        assert not hasattr(fragment, "__dict__")
        with pytest.raises(AttributeError):
            fragment.foo = 1
        with pytest.raises(TypeError):
            weakref.ref(fragment)
        assert fields(fragment) == ("a", None)


class TestIdentity:
    def test_equality_is_identity(self):
        a = PromptFragment("a")
        b = PromptFragment("a")
        assert a == a
        assert not a != a
        assert not a == b
        assert a != b
        assert a != "a"
        assert PromptFragment() != PromptFragment()

    def test_no_ordering(self):
        with pytest.raises(TypeError):
            PromptFragment("a") < PromptFragment("b")
        with pytest.raises(TypeError):
            PromptFragment("a") >= PromptFragment("b")

    def test_equal_fields_are_distinct_set_members(self):
        members = {PromptFragment("a"), PromptFragment("a")}
        assert len(members) == 2

    def test_not_iterable_or_sized(self):
        fragment = PromptFragment("ab", ["c"])
        with pytest.raises(TypeError):
            iter(fragment)
        with pytest.raises(TypeError):
            len(fragment)
        with pytest.raises(TypeError):
            fragment[0]


class TestSubclass:
    def test_instances_and_members(self):
        class Sub(PromptFragment):
            def describe(self):
                return f"{self.string}:{self.options}"

        sub = Sub("a", option=["b"])
        assert type(sub) is Sub
        assert isinstance(sub, PromptFragment)
        assert sub.describe() == "a:['b']"
        assert (str(sub), repr(sub), hash(sub)) == ("[a|b]", "[a]", expected_hash("[a|b]"))
        sub.string = "c"
        sub.options = ("d",)
        assert sub.__getstate__() == {"string": "c", "options": ["d"]}
        sub.__setstate__({"string": "e"})
        assert fields(sub) == ("e", ["d"])
        raises_exactly(AttributeError, "can't delete attribute", delattr, sub, "string")
        assert fields(Sub()) == ("", None)

    def test_subclass_instances_carry_attributes(self):
        class Sub(PromptFragment):
            pass

        sub = Sub("a")
        sub.extra = 1
        assert sub.extra == 1
        assert vars(sub) == {"extra": 1}

    def test_subclass_with_init_and_overrides(self):
        class Labelled(PromptFragment):
            def __new__(cls, label, *args):
                return super().__new__(cls, *args)

            def __init__(self, label, *args):
                self.label = label

            def __str__(self):
                return "<" + super().__str__() + ">"

        item = Labelled("L", "x", ["y"])
        assert item.label == "L"
        assert fields(item) == ("x", ["y"])
        assert str(item) == "<[x|y]>"
        assert PromptFragment.__str__(item) == "[x|y]"
        # The hash comes from the record's own text form.
        assert hash(item) == expected_hash("[x|y]")

    def test_subclass_binding_errors_name_the_base(self):
        class Sub(PromptFragment):
            pass

        raises_exactly(
            TypeError,
            "PromptFragment.__new__() takes from 0 to 2 positional arguments but 3 were given",
            Sub, "a", [], 1,
        )
        raises_exactly(
            TypeError, "argument 'option': 'tuple' object cannot be converted to 'PyList'", Sub, "a", ()
        )

    def test_subclass_parse_gives_plain_fragments(self):
        class Sub(PromptFragment):
            pass

        assert [type(f) for f in Sub.parse("a[b]c")] == [PromptFragment] * 3
