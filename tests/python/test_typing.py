"""The type stub: installed, true to the runtime, strict enough to catch misuse.

mypy runs in a scratch directory so that it reads the stub installed with the
module, not the one at the root of the source tree.
"""

import ast
import importlib.util
import inspect
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import frasolet

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "frasolet.pyi"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")


# The oldest mypy the stub supports, installed apart by scripts/run.sh (from
# requirements-mypy-minimum.txt) for the reference interpreter only.
MINIMUM_MYPY = Path(sys.prefix) / "mypy-minimum"


@pytest.fixture(scope="module", params=["current", "minimum"])
def mypy_path(request):
    """Where the mypy to run comes from: the environment's own, or the oldest supported."""
    if request.param == "current":
        return None
    if not (MINIMUM_MYPY / "mypy").is_dir():
        if sys.version_info[:2] != (3, 10):
            pytest.skip("the oldest supported mypy is installed for CPython 3.10 only")
        pytest.fail(f"no mypy in {MINIMUM_MYPY}: run `bash scripts/run.sh setup`")
    # That mypy, not the environment's, is the one that runs.
    pinned = re.search(r"^mypy==([\d.]+)", (ROOT / "requirements-mypy-minimum.txt").read_text(),
                       re.M).group(1)
    version = run_mypy("--version", cwd=ROOT, path=str(MINIMUM_MYPY)).stdout
    assert version.startswith(f"mypy {pinned} "), version
    return str(MINIMUM_MYPY)


def run_mypy(*arguments, cwd, path=None):
    environment = dict(os.environ)
    if path is not None:
        environment["PYTHONPATH"] = path
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--hide-error-context",
         "--no-error-summary", "--show-error-codes", *arguments],
        cwd=cwd,
        env=environment,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_installed_stubs_are_the_source_stub():
    installed = Path(importlib.util.find_spec("frasolet").origin).parent
    for path in (installed / "frasolet.pyi", installed / "frasolet-stubs" / "__init__.pyi"):
        assert path.read_bytes() == STUB.read_bytes(), f"{path} is stale: reinstall"
    assert (installed / "frasolet-stubs" / "py.typed").is_file()


def test_stubtest(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "frasolet", "--allowlist", str(ALLOWLIST)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_itself_passes_mypy_strict(tmp_path, mypy_path):
    # A name the checker's own typeshed lacks is an error only here, where
    # the stub is checked rather than merely read.
    result = run_mypy("--strict", str(STUB), cwd=tmp_path, path=mypy_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_mypy_strict(tmp_path, mypy_path):
    examples = sorted(str(path) for path in (ROOT / "examples").glob("*.py"))
    result = run_mypy("--strict", *examples, cwd=tmp_path, path=mypy_path)
    assert result.returncode == 0, result.stdout + result.stderr


def stub_constructor(class_name):
    """(name, has default) of each parameter of the stub's __new__, after cls."""
    module = ast.parse(STUB.read_text())
    for node in module.body:
        if isinstance(node, ast.ClassDef) and node.name == class_name:
            new = next(f for f in node.body if isinstance(f, ast.FunctionDef) and f.name == "__new__")
            positional = new.args.args[1:]
            defaults = [False] * (len(positional) - len(new.args.defaults))
            defaults += [True] * len(new.args.defaults)
            return [(arg.arg, default) for arg, default in zip(positional, defaults)]
    raise AssertionError(f"no class {class_name} in the stub")


# stubtest cannot compare PromptFragment's constructor (see
# stubtest_allowlist.txt), so the positional parameters of both are compared
# here with the call signature the runtime documents.
@pytest.mark.parametrize("cls", [frasolet.PromptFragment, frasolet.PromptTemplate],
                         ids=lambda cls: cls.__name__)
def test_stub_constructor_matches_the_runtime(cls):
    parameters = list(inspect.signature(cls).parameters.values())
    if cls is frasolet.PromptFragment:
        assert parameters.pop(0).name == "self"
    runtime = [(p.name, p.default is not inspect.Parameter.empty) for p in parameters
               if p.kind is not inspect.Parameter.KEYWORD_ONLY]
    assert stub_constructor(cls.__name__) == runtime
    # And the runtime really binds them by those names.
    arguments = {"string": "s", "option": ["o"], "template": "[t]", "tokenizer": None}
    cls(**{name: arguments[name] for name, _ in runtime})
    cls(**{name: arguments[name] for name, has_default in runtime if not has_default})


# ---- what the stub tells a type checker ---------------------------------------

ACCEPTED = """
from __future__ import annotations
import frasolet

class Tok:
    def encode(self, text: str) -> list[int]:
        return [len(text)]

fragments = frasolet.parse("a[b|c]")
reveal_type(fragments)
reveal_type(frasolet.PromptFragment.parse("a"))
reveal_type(frasolet.PromptTemplate.parse("a"))
f = frasolet.PromptFragment("x", ["a"])
reveal_type(f.string)
reveal_type(f.options)
f.options = ("a", "b")
f.options = "ab"
f.options = None
f.__setstate__(f.__getstate__())
f.__setstate__({"string": "y", "options": ["z"]})
reveal_type(f.__getstate__())
reveal_type(hash(f))
t = frasolet.PromptTemplate("a[b]", Tok())
reveal_type(t)
reveal_type(t.tokenizer.encode("x"))
reveal_type(t[0])
reveal_type(t[True])
reveal_type(len(t))
reveal_type(iter(t))
reveal_type(next(iter(t)))
reveal_type([fragment for fragment in t])
t.fragments = fragments
t.fragments = (f,)
t.fragments = t
t.__setstate__(t.__getstate__())
reveal_type(t.__getstate__()["template"])
empty = frasolet.PromptTemplate(None, None)
reveal_type(empty.tokenizer)
class Sub(frasolet.PromptFragment):
    pass
reveal_type(Sub("a"))
reveal_type(Sub.parse("a"))
reveal_type(frasolet.__version__)
"""

REVEALED = [
    "builtins.list[frasolet.PromptFragment]",
    "builtins.list[frasolet.PromptFragment]",
    "builtins.list[frasolet.PromptFragment]",
    "builtins.str",
    "builtins.list[builtins.str] | None",
    "TypedDict(frasolet._FragmentState, {'string': str, 'options'?: list[str]})",
    "builtins.int",
    "frasolet.PromptTemplate[accepted.Tok]",
    "builtins.list[builtins.int]",
    "frasolet.PromptFragment",
    "frasolet.PromptFragment",
    "builtins.int",
    "frasolet.PromptFragmentIter",
    "frasolet.PromptFragment",
    "builtins.list[frasolet.PromptFragment]",
    "builtins.str",
    "None",
    "accepted.Sub",
    "builtins.list[frasolet.PromptFragment]",
    "builtins.str",
]

# Each line is a misuse that the runtime refuses; the stub must refuse it too.
REJECTED = {
    "option_tuple": ('frasolet.PromptFragment("a", ("b",))', "arg-type"),
    "option_keyword_plural": ('frasolet.PromptFragment(options=["b"])', "call-arg"),
    "parse_none": ("frasolet.parse(None)", "arg-type"),
    "parse_no_argument": ("frasolet.parse()", "call-arg"),
    "template_without_tokenizer": ('frasolet.PromptTemplate("a")', "call-arg"),
    "template_int": ("frasolet.PromptTemplate(1, None)", "arg-type"),
    "string_none": ('f = frasolet.PromptFragment()\nf.string = None', "assignment"),
    "options_ints": ("f = frasolet.PromptFragment()\nf.options = [1]", "list-item"),
    "options_maybe_none": ('frasolet.PromptFragment().options.append("x")', "union-attr"),
    "slice": ("frasolet.PromptTemplate('a', None)[0:1]", "index"),
    "fragments_of_str": ("t = frasolet.PromptTemplate('a', None)\nt.fragments = ['a']", "list-item"),
    "setstate_list": ("frasolet.PromptFragment().__setstate__([])", "arg-type"),
    "getstate_argument": ("frasolet.PromptFragment().__getstate__(1)", "call-arg"),
    "no_attribute": ("frasolet.PromptFragment().foo = 1", "attr-defined"),
    "tokenizer_type_kept": ("t = frasolet.PromptTemplate('a', 1)\nt.tokenizer.encode('x')", "attr-defined"),
}


@pytest.fixture(scope="module")
def checked(tmp_path_factory, mypy_path):
    """Runs mypy once over the accepted file and every rejected case."""
    directory = tmp_path_factory.mktemp("typing")
    (directory / "accepted.py").write_text(textwrap.dedent(ACCEPTED))
    for name, (code, _) in REJECTED.items():
        (directory / f"rejected_{name}.py").write_text(f"import frasolet\n{code}\n")
    files = sorted(path.name for path in directory.glob("*.py"))
    result = run_mypy("--strict", *files, cwd=directory, path=mypy_path)
    assert "error: Cannot find implementation or library stub" not in result.stdout
    return result.stdout


def older_mypy_spelling(revealed):
    """A revealed type as the current mypy writes it: older ones write
    Union[X, None] and quote a TypedDict's name."""
    revealed = revealed.replace("builtins.", "")
    revealed = re.sub(r"^Union\[(.*), None\]$", r"\1 | None", revealed)
    return re.sub(r"^TypedDict\('([\w.]+)'", r"TypedDict(\1", revealed)


def test_stub_accepts_correct_use(checked):
    lines = [line for line in checked.splitlines() if line.startswith("accepted.py:")]
    assert not [line for line in lines if ": error:" in line]
    revealed = [older_mypy_spelling(re.search(r'Revealed type is "(.*)"$', line).group(1))
                for line in lines if "Revealed type" in line]
    assert revealed == [text.replace("builtins.", "") for text in REVEALED]


@pytest.mark.parametrize("name", sorted(REJECTED))
def test_stub_rejects_misuse(checked, name):
    code, error_code = REJECTED[name]
    errors = [line for line in checked.splitlines()
              if line.startswith(f"rejected_{name}.py:") and ": error:" in line]
    last_line = code.count("\n") + 2
    assert any(line.startswith(f"rejected_{name}.py:{last_line}:") and
               line.endswith(f"[{error_code}]") for line in errors), errors


# ---- the annotation advice of docs/api.md ---------------------------------------
#
# PromptTemplate[Tok] is invariant in Tok. What docs/api.md advises is checked
# here with mypy and, where it is installed (the CPython 3.10 development
# environment), with pyright: each accepted line passes both, each rejected
# one fails both.

# The classes both sets of advice snippets use.
ADVICE_CLASSES = """
class Tok:
    def encode(self, text: str) -> list[int]:
        return [len(text)]

class SubTok(Tok):
    pass

class Encoder(Protocol):
    def encode(self, text: str) -> list[int]: ...
"""

ADVICE_ACCEPTED = """
from __future__ import annotations
from typing import Any, Protocol, TypeVar
from frasolet import PromptTemplate
""" + ADVICE_CLASSES + """
T = TypeVar("T")

# Annotated where the template is made: the declared type wins.
declared: PromptTemplate[Tok] = PromptTemplate("a [b]", SubTok())
declared.tokenizer = Tok()
by_protocol: PromptTemplate[Encoder] = PromptTemplate("a [b]", SubTok())
empty: PromptTemplate[list[str]] = PromptTemplate("a", [])

def takes_tok(t: PromptTemplate[Tok]) -> list[int]:
    return t.tokenizer.encode(str(t))

def takes_any(t: PromptTemplate[Any]) -> str:
    return str(t)

def tokenizer_of(t: PromptTemplate[T]) -> T:
    return t.tokenizer

takes_tok(PromptTemplate("x", SubTok()))
takes_tok(declared)
made = PromptTemplate("x", SubTok())
takes_any(made)
takes_any(by_protocol)
sub: SubTok = tokenizer_of(made)
"""

ADVICE_REJECTED = {
    "made_then_widened": "made = PromptTemplate('x', SubTok())\nwide: PromptTemplate[Tok] = made",
    "made_then_passed": "made = PromptTemplate('x', SubTok())\ntakes_tok(made)",
    "made_then_protocol": "made = PromptTemplate('x', SubTok())\ntakes_encoder(made)",
    "none_then_tokenizer": "t = PromptTemplate('x', None)\nt.tokenizer = Tok()",
}

ADVICE_PRELUDE = """
from __future__ import annotations
from typing import Protocol
from frasolet import PromptTemplate
""" + ADVICE_CLASSES + """
def takes_tok(t: PromptTemplate[Tok]) -> None: ...

def takes_encoder(t: PromptTemplate[Encoder]) -> None: ...
"""


def rejected_line(code):
    """The line, counted from 1, of a rejected snippet's last statement."""
    return ADVICE_PRELUDE.count("\n") + code.count("\n") + 1


def pyright_command():
    bin_dir = Path(sys.executable).parent
    pyright = bin_dir / "pyright"
    return [str(pyright)] if pyright.exists() else None


@pytest.fixture(scope="module")
def advice(tmp_path_factory):
    directory = tmp_path_factory.mktemp("advice")
    (directory / "advice_accepted.py").write_text(textwrap.dedent(ADVICE_ACCEPTED))
    for name, code in ADVICE_REJECTED.items():
        (directory / f"advice_rejected_{name}.py").write_text(textwrap.dedent(ADVICE_PRELUDE) + code + "\n")
    return directory


def test_advice_with_mypy(advice, mypy_path):
    files = sorted(path.name for path in advice.glob("*.py"))
    output = run_mypy("--strict", *files, cwd=advice, path=mypy_path).stdout
    assert "Cannot find implementation or library stub" not in output
    assert not [line for line in output.splitlines() if line.startswith("advice_accepted.py:")]
    for name, code in ADVICE_REJECTED.items():
        last_line = rejected_line(code)
        assert re.search(rf"^advice_rejected_{name}\.py:{last_line}: error:", output, re.M), (name, output)


def test_advice_with_pyright(advice):
    command = pyright_command()
    if command is None:
        pytest.skip("pyright is installed in the CPython 3.10 development environment only")
    files = sorted(path.name for path in advice.glob("*.py"))
    result = subprocess.run(
        [*command, "--outputjson", "--pythonpath", sys.executable, *files],
        cwd=advice, capture_output=True, text=True, timeout=300,
    )
    report = json.loads(result.stdout)
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    assert report["summary"]["filesAnalyzed"] == len(files)
    assert not [d for d in errors if d["file"].endswith("advice_accepted.py")], errors
    for name, code in ADVICE_REJECTED.items():
        last_line = rejected_line(code)
        # pyright counts lines from 0.
        assert [d for d in errors if d["file"].endswith(f"advice_rejected_{name}.py")
                and d["range"]["start"]["line"] + 1 == last_line], (name, errors)
