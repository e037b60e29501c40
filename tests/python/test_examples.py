"""Every example under examples/ runs, and does what its docstring says; the
``>>>`` examples of README.md and of every page under docs/ hold."""

import doctest
import importlib
import subprocess
import sys
from pathlib import Path

import pytest

import frasolet

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
# The pipeline recipes need their engines: tests/python/test_pipelines.py runs them.
SCRIPTS = sorted(set(EXAMPLES.glob("*.py")) - set(EXAMPLES.glob("pipeline_*.py")))
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


@pytest.fixture(scope="module")
def bpe(pipeline):
    return pipeline.train_tokenizer()


@pytest.mark.parametrize(
    "template, inputs, rendered, from_a",
    [
        ("plain text", {}, "plain text", ""),
        ("[a]", {"a": "x y"}, "x y", "x y"),
        ("[a|upper] and [b|strip,quote]", {"a": "hi", "b": "  yo "}, 'HI and "yo"', "HI"),
        (r"\[a\] [a|lower]", {"a": "ABC"}, "[a] abc", "abc"),
        # The parse stops at the stray bracket: the rest is never rendered.
        ("kept [a] ] [b]", {"a": "A"}, "kept A ", "A"),
    ],
)
def test_pipeline_encodes_the_rendered_text(pipeline, bpe, template, inputs, rendered, from_a):
    encoding = pipeline.encode(frasolet.PromptTemplate(template, bpe), inputs)
    assert encoding.text == rendered
    bos, eos = (bpe.token_to_id(token) for token in pipeline.SPECIAL_TOKENS)
    assert encoding.input_ids == [bos, *bpe.encode(rendered).ids, eos]
    assert bpe.decode(encoding.input_ids) == rendered
    # The tokens traced to [a] cover its value, and at most the template text
    # that shares a token with it (the space in front).
    traced = bpe.decode([i for i, s in zip(encoding.input_ids, encoding.sources) if s == "a"])
    assert from_a in traced and traced in rendered and traced.strip() == from_a.strip()


@pytest.mark.parametrize(
    "template, inputs, alone",
    [
        # The space before the value ends one piece, the value starts the next.
        ("Answer in a [style] way", {"style": "detailed"}, False),
        ("[a] [b]", {"a": "first", "b": "program"}, False),
        # Every boundary falls between pre-tokens.
        ("Question:[q]", {"q": " who wrote it?"}, True),
        ("[a|upper]", {"a": "engine"}, True),
    ],
)
def test_per_fragment_ids_equal_whole_ids_only_when_pieces_tokenize_alone(
        pipeline, bpe, template, inputs, alone):
    prompt = frasolet.PromptTemplate(template, bpe)
    pieces = pipeline.render(prompt, inputs).pieces
    assert pipeline.pieces_tokenize_alone(bpe, pieces) is alone
    whole = pipeline.encode(prompt, inputs).input_ids[1:-1]
    assert (pipeline.ids_per_fragment(prompt, inputs) == whole) is alone


@pytest.mark.parametrize(
    "template, inputs, error, match",
    [
        ("[missing]", {}, KeyError, r"\[missing\]"),
        ("[a|shout]", {"a": "x"}, ValueError, "'shout'"),
    ],
)
def test_pipeline_refuses(pipeline, bpe, template, inputs, error, match):
    prompt = frasolet.PromptTemplate(template, bpe)
    with pytest.raises(error, match=match):
        pipeline.encode(prompt, inputs)


# ---- multiprocessing --------------------------------------------------------


@pytest.fixture(scope="module")
def workers(examples_importable):
    return importlib.import_module("multiprocessing_parse")


def test_workers_send_back_equal_fragments(workers):
    templates = workers.TEMPLATES + ["", "[x]", "[x|]", "[[broken", "no placeholder"]
    results = workers.parse_all(templates, processes=2)
    assert len(results) == len(templates)
    for template, (fragments, worker_hashes) in zip(templates, results):
        local = frasolet.parse(template)
        assert all(type(fragment) is frasolet.PromptFragment for fragment in fragments)
        assert [(f.string, f.options) for f in fragments] == [(f.string, f.options) for f in local]
        assert [str(f) for f in fragments] == [str(f) for f in local]
        # Hashed in another interpreter, with its own hash randomisation.
        assert worker_hashes == [hash(f) for f in local]


def test_workers_encode_as_this_process_does(workers, pipeline, bpe):
    local = {name: frasolet.PromptTemplate(text, bpe) for name, text in workers.PIPELINE.items()}
    expected = [pipeline.encode(local[name], inputs).input_ids for name, inputs in workers.SAMPLES]
    assert workers.encode_all(bpe, workers.SAMPLES) == expected
    # The escaped brackets of "summary" reach the workers as text.
    summary = local["summary"]
    inputs = [inputs for name, inputs in workers.SAMPLES if name == "summary"] * 3
    assert workers.encode_with_template(summary, inputs) == [
        pipeline.encode(summary, i).input_ids for i in inputs]
