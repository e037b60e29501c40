"""Every example under examples/ runs, and does what its docstring says; the
``>>>`` examples of README.md and of every page under docs/ hold."""

import doctest
import importlib
import re
import subprocess
import sys
from pathlib import Path

import pytest

import frasolet

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
SCRIPTS = sorted(EXAMPLES.glob("*.py"))
DOCS = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))


@pytest.fixture(scope="module")
def examples_importable():
    """Puts examples/ on sys.path; spawned workers inherit it."""
    sys.path.insert(0, str(EXAMPLES))
    yield
    sys.path.remove(str(EXAMPLES))


def test_examples_found():
    names = {script.name for script in SCRIPTS}
    assert {"quickstart.py", "tokenizer_pipeline.py", "multiprocessing_parse.py"} <= names


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda script: script.name)
def test_example_runs_as_a_script(script, tmp_path):
    # Run from an unrelated directory, as a user would, on the installed module.
    result = subprocess.run(
        [sys.executable, str(script)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout.strip()


@pytest.mark.parametrize("page", DOCS, ids=lambda page: page.name)
def test_documentation_examples(page):
    # The >>> examples of the README and of every page under docs/ are run
    # as doctests, as `python -m doctest README.md` would run them.
    failures, tried = doctest.testfile(str(page), module_relative=False, verbose=False,
                                       optionflags=doctest.ELLIPSIS)
    assert failures == 0
    if page.name in {"README.md", "api.md", "grammar.md"}:
        assert tried > 0


def test_python_m_doctest_readme():
    # Exactly the command of the issue: plain `python -m doctest README.md`,
    # with no option flags (a closing fence right after expected output
    # would be read as part of that output and fail here).
    result = subprocess.run([sys.executable, "-m", "doctest", "README.md"], cwd=ROOT,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == ""


def test_quickstart_reports_the_parse(examples_importable, capsys):
    quickstart = importlib.import_module("quickstart")
    quickstart.main()
    out = capsys.readouterr().out
    assert f"frasolet {frasolet.__version__}" in out
    for fragment in frasolet.parse(quickstart.TEMPLATE):
        assert f"{repr(fragment):<16} {fragment.options!r:<22} {hash(fragment)}" in out


# ---- tokenizer pipeline ---------------------------------------------------


@pytest.fixture(scope="module")
def pipeline(examples_importable):
    return importlib.import_module("tokenizer_pipeline")


@pytest.mark.parametrize(
    "template, inputs, rendered",
    [
        ("plain text", {}, "plain text"),
        ("[a]", {"a": "x y"}, "x y"),
        ("[a|upper] and [b|strip,quote]", {"a": "hi", "b": "  yo "}, 'HI and "yo"'),
        ("[a|quote,quote]", {"a": "q"}, '""q""'),
        (r"\[a\] [a|lower]", {"a": "ABC"}, "[a] abc"),
        # The parse stops at the stray bracket: the rest is never rendered.
        ("kept [a] ] [b]", {"a": "A"}, "kept A "),
    ],
)
def test_pipeline_renders(pipeline, template, inputs, rendered):
    tokenizer = pipeline.ToyTokenizer()
    prompt = frasolet.PromptTemplate(template, tokenizer)
    encoding = pipeline.encode(prompt, inputs)
    assert encoding.text == rendered
    assert encoding.input_ids[0] == tokenizer.bos_id
    assert encoding.input_ids[-1] == tokenizer.eos_id
    assert tokenizer.decode(encoding.input_ids[1:-1]) == " ".join(re.findall(r"\w+|[^\w\s]", rendered))
    assert len(encoding.sources) == len(encoding.input_ids)


def test_pipeline_traces_tokens_to_placeholders(pipeline):
    tokenizer = pipeline.ToyTokenizer()
    prompt = frasolet.PromptTemplate("Q: [q] A: [a|upper]", tokenizer)
    encoding = pipeline.encode(prompt, {"q": "why not", "a": "because"})
    by_source = {}
    for token_id, source in zip(encoding.input_ids, encoding.sources):
        by_source.setdefault(source, []).append(token_id)
    assert tokenizer.decode(by_source["q"]) == "why not"
    assert tokenizer.decode(by_source["a"]) == "BECAUSE"
    assert tokenizer.decode(by_source[None]) == "<bos> Q : A : <eos>"


def test_only_the_pipeline_calls_the_tokenizer(pipeline):
    tokenizer = pipeline.ToyTokenizer()
    prompt = frasolet.PromptTemplate("a [b] c [d|upper]", tokenizer)
    assert tokenizer.calls == 0
    assert prompt.tokenizer is tokenizer
    pipeline.encode(prompt, {"b": "x", "d": "y"})
    assert tokenizer.calls == len(prompt) == 4


@pytest.mark.parametrize(
    "template, inputs, error, match",
    [
        ("[missing]", {}, KeyError, r"\[missing\]"),
        ("[a|shout]", {"a": "x"}, ValueError, "'shout'"),
    ],
)
def test_pipeline_refuses(pipeline, template, inputs, error, match):
    prompt = frasolet.PromptTemplate(template, pipeline.ToyTokenizer())
    with pytest.raises(error, match=match):
        pipeline.encode(prompt, inputs)


# ---- multiprocessing --------------------------------------------------------


def test_workers_send_back_equal_fragments(examples_importable):
    example = importlib.import_module("multiprocessing_parse")
    templates = example.TEMPLATES + ["", "[x]", "[x|]", "[[broken", "no placeholder"]
    results = example.parse_all(templates, processes=2)
    assert len(results) == len(templates)
    for template, (fragments, worker_hashes) in zip(templates, results):
        local = frasolet.parse(template)
        assert all(type(fragment) is frasolet.PromptFragment for fragment in fragments)
        assert [(f.string, f.options) for f in fragments] == [(f.string, f.options) for f in local]
        assert [str(f) for f in fragments] == [str(f) for f in local]
        # Hashed in another interpreter, with its own hash randomisation.
        assert worker_hashes == [hash(f) for f in local]
