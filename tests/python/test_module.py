"""The import surface of frasolet and its module-level ``parse``."""

import importlib
import inspect
import re
import sys
import types

import pytest

import frasolet
from support import fields, raises_exactly

PromptFragment = frasolet.PromptFragment
PromptTemplate = frasolet.PromptTemplate

PARSE_DOC = re.compile(
    r"\AParse frasolet template to Fragments\n"
    r"\n"
    r"strict=True raises TemplateSyntaxError where the template breaks the grammar;\n"
    r"by default the fragments before that point are returned.\n"
    r"\n"
    r"Args:\n"
    r"    template \(:obj:`str`\):\n"
    r"        \S[^\n]*\n"
    r"\n"
    r"Returns:\n"
    r"    A :obj:`List` of :class:`~prompt.PromptFragment`: The prompt fragments\Z"
)

FRAGMENT_DOC = (
    "A :obj:`PromptFragment` store template fragments(including string and options).\n"
    "\n"
    "Args:\n"
    "    string (:obj:`str`,`optional`):\n"
    "        The string or mask name will be rendered.\n"
    "    option (:obj:`List[str]`):\n"
    "        The options will be applied to the fragment."
)

PARSE_ENTRIES = [
    pytest.param(frasolet.parse, id="module"),
    pytest.param(PromptFragment.parse, id="PromptFragment"),
    pytest.param(PromptTemplate.parse, id="PromptTemplate"),
]


class TestSurface:
    def test_version(self):
        assert type(frasolet.__version__) is str
        assert frasolet.__version__ == "0.4.0"

    def test_module_doc_and_name(self):
        assert frasolet.__doc__ == "Frasolet Module"
        assert frasolet.__name__ == "frasolet"
        assert type(frasolet) is types.ModuleType

    def test_all_lists_the_names_in_order(self):
        assert type(frasolet.__all__) is list
        assert frasolet.__all__ == ["__version__", "parse", "PromptFragment", "PromptTemplate",
                                    "TemplateSyntaxError", "escape"]
        for name in frasolet.__all__:
            assert hasattr(frasolet, name)

    def test_no_other_public_attributes(self):
        public = {name for name in dir(frasolet) if not name.startswith("_")}
        assert public == {"parse", "PromptFragment", "PromptTemplate", "TemplateSyntaxError",
                          "escape"}
        assert not hasattr(frasolet, "PromptFragmentIter")
        assert not hasattr(frasolet, "PanicException")

    def test_attributes_are_added_in_order(self):
        # The first addition creates __all__, then each value is set.
        ours = ["__all__", "__version__", "parse", "PromptFragment", "PromptTemplate",
                "TemplateSyntaxError", "escape"]
        assert [name for name in vars(frasolet) if name in ours] == ours

    def test_star_import(self):
        namespace = {}
        exec("from frasolet import *", namespace)
        assert namespace["parse"] is frasolet.parse
        assert namespace["PromptFragment"] is PromptFragment
        assert namespace["PromptTemplate"] is PromptTemplate
        assert namespace["__version__"] == "0.4.0"


class TestParseFunction:
    def test_function_object(self):
        parse = frasolet.parse
        assert type(parse) is types.BuiltinFunctionType
        assert parse.__name__ == "parse"
        assert parse.__qualname__ == "parse"
        assert parse.__module__ == "frasolet"
        assert parse.__self__ is frasolet

    @pytest.mark.parametrize("entry", PARSE_ENTRIES)
    def test_text_signature_and_doc(self, entry):
        assert entry.__text_signature__ == "(template, *, strict=False)"
        assert PARSE_DOC.match(entry.__doc__), entry.__doc__
        assert list(inspect.signature(entry).parameters) == ["template", "strict"]

    def test_static_parse_is_in_the_class_dict(self):
        for cls in (PromptFragment, PromptTemplate):
            assert isinstance(vars(cls)["parse"], staticmethod)

    def test_same_doc_everywhere(self):
        assert frasolet.parse.__doc__ == PromptFragment.parse.__doc__ == PromptTemplate.parse.__doc__


class TestClassDocs:
    def test_fragment_class_doc(self):
        assert PromptFragment.__doc__ == FRAGMENT_DOC
        assert PromptFragment.__text_signature__ == "(self, string=None, option=None)"

    def test_fragment_property_docs(self):
        assert PromptFragment.string.__doc__ == "the content of the fragment"
        assert PromptFragment.options.__doc__ == "the options os the fragment"

    @pytest.mark.parametrize("name", ["__getstate__", "__setstate__"])
    @pytest.mark.parametrize("cls", [PromptFragment, PromptTemplate])
    def test_state_methods_have_no_doc(self, cls, name):
        method = vars(cls)[name]
        assert method.__doc__ is None
        assert method.__text_signature__ is None


# (template, [(string, options), ...]) as the parser must return them.
GRAMMAR = [
    ("", []),
    ("Hello, world | #1", [("Hello, world | #1", None)]),
    ("Hi [name]!", [("Hi ", None), ("name", []), ("!", None)]),
    ("Hi [name|a,b]!", [("Hi ", None), ("name", ["a", "b"]), ("!", None)]),
    ("a[b]c[d|e]f", [("a", None), ("b", []), ("c", None), ("d", ["e"]), ("f", None)]),
    ("[color|red,green#blue]", [("color", ["red", "green", "blue"])]),
    ("[x|a,,b#,c]", [("x", ["a", "b", "c"])]),
    ("[x|]", [("x", [])]),
    ("[ a b | c d ]", [(" a b ", [" c d "])]),
    ("[a][b]", [("a", []), ("b", [])]),
    ("a\\[b\\]c\\\\d", [("a[b]c\\d", None)]),
    ("\\[a]", [("[a", None)]),
    ("\\[\\]", [("[]", None)]),
    ("[a|b]]", [("a", ["b"])]),
    ("ab]cd", [("ab", None)]),
    ("ab\\ncd", [("ab", None)]),
    ("ab\\", [("ab", None)]),
    ("pre [name post", [("pre ", None)]),
    ("pre []", [("pre ", None)]),
    ("[|a]", []),
    ("[a[b]]", []),
    ("x [a#b] y", [("x ", None)]),
    ("[a|b,] y", []),
    ("[a|,b]", []),
    ("[a|b|c]", []),
    ("[a\\b]", [("a\\b", [])]),
    ("[a\\]b]", [("a\\", []), ("b", None)]),
    ("\u00e9[\u00fc|\u00f6,\u00df]", [("\u00e9", None), ("\u00fc", ["\u00f6", "\u00df"])]),
    ("\U0001f600 [\u4e2d|\U0001f680]", [("\U0001f600 ", None), ("\u4e2d", ["\U0001f680"])]),
    ("a\n\tb[c\nd|e\tf]", [("a\n\tb", None), ("c\nd", ["e\tf"])]),
    ("a [b", [("a ", None)]),
    ("a ] b", [("a ", None)]),
    ("a \\", [("a ", None)]),
    ("[]", []),
    ("[a|b#,c,#d]x", [("a", ["b", "c", "d"]), ("x", None)]),
]


class TestParse:
    @pytest.mark.parametrize("entry", PARSE_ENTRIES)
    @pytest.mark.parametrize("template, expected", GRAMMAR)
    def test_grammar(self, entry, template, expected):
        result = entry(template)
        assert type(result) is list
        assert [fields(f) for f in result] == expected
        assert all(type(f) is PromptFragment for f in result)

    @pytest.mark.parametrize("entry", PARSE_ENTRIES)
    def test_keyword_argument(self, entry):
        by_keyword = entry(template="a")
        assert [fields(f) for f in by_keyword] == [("a", None)]
        assert [fields(f) for f in entry("a")] == [("a", None)]

    def test_each_call_makes_new_objects(self):
        first = frasolet.parse("a[b|c]")
        second = frasolet.parse("a[b|c]")
        assert first is not second
        assert all(x is not y for x, y in zip(first, second))
        first[1].string = "changed"
        first[1].options = None
        assert fields(second[1]) == ("b", ["c"])

    def test_result_through_subclass_is_plain(self):
        class Sub(PromptFragment):
            pass

        result = Sub.parse("a[b]")
        assert [type(f) for f in result] == [PromptFragment, PromptFragment]
        assert [type(f) for f in Sub().parse("a")] == [PromptFragment]

    def test_parse_through_an_instance(self):
        assert [fields(f) for f in PromptFragment("z").parse("[q|r]")] == [("q", ["r"])]

    def test_str_subclass_is_read_by_value(self):
        class Text(str):
            def __str__(self):
                return "[overridden]"

            def encode(self, *args, **kwargs):
                raise AssertionError("encode must not be called")

        assert [fields(f) for f in frasolet.parse(Text("x[y]"))] == [("x", None), ("y", [])]

    def test_long_template(self):
        template = "text [mask|a,b] " * 2000
        result = frasolet.parse(template)
        # "text ", then 1999 times a placeholder and " text ", then the last
        # placeholder and the closing " ".
        assert len(result) == 4001
        assert fields(result[-1]) == (" ", None)
        assert "".join(str(f) for f in result) == "text [mask|a,b] " * 2000

    @pytest.mark.parametrize("entry", PARSE_ENTRIES)
    def test_lone_surrogate_raises_the_encoding_error(self, entry):
        with pytest.raises(UnicodeEncodeError) as info:
            entry("a\ud800b")
        assert type(info.value) is UnicodeEncodeError
        assert "argument" not in str(info.value)

    @pytest.mark.parametrize(
        "value, type_name",
        [(5, "int"), (None, "NoneType"), (b"[a]", "bytes"), (["a"], "list")],
    )
    def test_non_str_template(self, value, type_name):
        raises_exactly(
            TypeError,
            f"argument 'template': '{type_name}' object cannot be converted to 'PyString'",
            frasolet.parse,
            value,
        )


class TestReimport:
    def test_reimport_reuses_the_class_objects(self):
        first = sys.modules["frasolet"]
        del sys.modules["frasolet"]
        try:
            second = importlib.import_module("frasolet")
        finally:
            sys.modules["frasolet"] = first
        assert second is not first
        assert second.PromptFragment is first.PromptFragment
        assert second.PromptTemplate is first.PromptTemplate
        assert second.TemplateSyntaxError is first.TemplateSyntaxError
        with pytest.raises(first.TemplateSyntaxError):
            second.parse("a]", strict=True)
        assert second.__all__ == first.__all__
        assert second.__all__ is not first.__all__
        assert second.parse is not first.parse
        assert second.parse.__self__ is second
        assert [type(f) for f in second.parse("a[b]")] == [first.PromptFragment] * 2
