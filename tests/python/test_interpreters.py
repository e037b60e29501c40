"""The module in every kind of interpreter a process can have.

Each interpreter has its own class objects, made by its first import, so the
same workload must give the same results in the main interpreter, in isolated
sub-interpreters with their own GIL (3.12+), several of them at once in
threads, and through concurrent.interpreters and InterpreterPoolExecutor
(3.14+); and creating and destroying interpreters must not leak. Every case
runs in a fresh process; the legacy sub-interpreters of every version are in
test_reliability.py.
"""

import json
import sys

import pytest

from support import run_script

# Run in each interpreter: every class, hashes, pickling, subclasses, the
# static parse methods, and a re-import that must keep the classes. Its
# result is a str, to be compared with the main interpreter's.
WORKLOAD = r'''
def workload():
    import pickle, sys
    import frasolet

    class Fragment(frasolet.PromptFragment):
        pass

    class Template(frasolet.PromptTemplate):
        pass

    text = "Hi [name|a,b]! \u4e2d [\U0001f600]"
    template = frasolet.PromptTemplate(text, None)
    fragment = frasolet.PromptFragment("x", ["y", "\xe9"])
    sub = Template(text, None)
    iterator = iter(template)
    result = [
        [(f.string, f.options) for f in frasolet.parse(text)],
        [repr(f) for f in iterator], type(iterator).__name__, type(iterator).__module__,
        str(template), len(template), template[1].string, hash(template), hash(fragment),
        (lambda f: (f.string, f.options))(pickle.loads(pickle.dumps(fragment))),
        Fragment("s", None).string, [f.string for f in sub], hash(sub) == hash(template),
        [str(f) for f in frasolet.PromptTemplate.parse(text)],
        [str(f) for f in frasolet.PromptFragment.parse(text)],
        type(sub[0]) is frasolet.PromptFragment,
        frasolet.escape("[x]\\"),
    ]
    try:
        frasolet.parse("a\n\xe9 [x|", strict=True)
    except frasolet.TemplateSyntaxError as error:
        copied = pickle.loads(pickle.dumps(error))
        result.append((str(error), type(copied) is type(error), vars(copied) == vars(error)))
    classes = (frasolet.PromptFragment, frasolet.PromptTemplate, type(iterator),
               frasolet.TemplateSyntaxError)
    del sys.modules["frasolet"]
    import frasolet as again
    result.append(again is not frasolet)
    result.append((again.PromptFragment, again.PromptTemplate,
                   type(iter(again.PromptTemplate("a", None))),
                   again.TemplateSyntaxError) == classes)
    result.append(pickle.loads(pickle.dumps(fragment)).string)
    result.append(again.__all__)
    return repr(result)
'''


def interpreter_module():
    """The low-level module of isolated interpreters, or a skip."""
    if sys.version_info < (3, 12):
        pytest.skip("isolated sub-interpreters with their own GIL came with CPython 3.12")
    for name in ("_interpreters", "_xxsubinterpreters"):  # 3.13+, 3.12
        try:
            return __import__(name).__name__
        except ImportError:
            pass
    pytest.skip("this CPython has no sub-interpreter module")


# Writes the workload's result into a pipe from an isolated interpreter.
ISOLATED = r'''
import os, threading, {module} as interpreters
WORKLOAD_SOURCE = {workload!r}
exec(WORKLOAD_SOURCE)

def in_isolated(rounds=1):
    read_end, write_end = os.pipe()
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, WORKLOAD_SOURCE + f"""
import os
for _ in range({{rounds}}):
    result = workload()
os.write({{write_end}}, result.encode())
os.close({{write_end}})
""")
    finally:
        interpreters.destroy(interp)
    with os.fdopen(read_end, encoding="utf-8") as pipe:
        return pipe.read()
'''


def run_isolated(body):
    source = ISOLATED.format(module=interpreter_module(), workload=WORKLOAD) + body
    done = run_script(source, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_isolated_interpreters_give_the_main_interpreters_results():
    report = run_isolated("""
import json, frasolet
before = workload()
classes = frasolet.PromptFragment, frasolet.PromptTemplate
subs = [in_isolated(), in_isolated()]
print(json.dumps({"before": before, "subs": subs, "after": workload(),
                  "same classes": (frasolet.PromptFragment, frasolet.PromptTemplate) == classes}))
""")
    assert report["subs"] == [report["before"]] * 2
    assert report["after"] == report["before"]
    assert report["same classes"]


def test_isolated_interpreters_in_threads_at_once():
    # Each interpreter runs on its own GIL, so these run in parallel.
    report = run_isolated("""
import json
from concurrent.futures import ThreadPoolExecutor
with ThreadPoolExecutor(4) as pool:
    results = list(pool.map(lambda _: in_isolated(rounds=30), range(8)))
print(json.dumps({"main": workload(), "threads": results}))
""")
    assert report["threads"] == [report["main"]] * 8


def test_interpreters_on_their_own_gil_share_nothing_counted():
    # Three interpreters, each on its own GIL, making and dropping fragments at
    # once. Whatever the process shares between them must be neither counted
    # nor written: a racing count once freed the shared empty-text record.
    done = run_script(f"""
import threading, {interpreter_module()} as interpreters
CODE = '''
import frasolet
for _ in range(200_000):
    for f in frasolet.parse("Hi [name|a,b]! [y] z"):
        f.string, f.options
    frasolet.PromptFragment()
'''
failures = []
def run():
    interp = interpreters.create()
    try:
        failures.append(interpreters.run_string(interp, CODE))
    finally:
        interpreters.destroy(interp)
threads = [threading.Thread(target=run) for _ in range(3)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(failures)
""", timeout=300)
    assert (done.returncode, done.stdout.strip()) == (0, "[None, None, None]"), done.stderr


# Blocks held by the interpreter's allocator (leaked blocks of destroyed
# isolated interpreters included) that one round of making an interpreter,
# running CODE in it and destroying it leaves behind: measured over 150
# rounds after 50 of warm-up, less the same for an interpreter that imports a
# module of the standard library.
LEAK = r'''
import json, sys
CODE = """
import frasolet
t = frasolet.PromptTemplate("Hi [name|a,b]!", None)
assert [str(f) for f in iter(t)] == ["Hi ", "[name|a,b]", "!"] and hash(t)
assert frasolet.PromptFragment.parse("a")[0].string == "a"
"""
def blocks_kept(code):
    def rounds(count):
        for _ in range(count):
            MAKE_AND_DESTROY
    rounds(50)
    before = sys.getallocatedblocks()
    rounds(150)
    return (sys.getallocatedblocks() - before) / 150
print(json.dumps([blocks_kept(CODE), blocks_kept("import json")]))
'''


@pytest.mark.slow_under_emulation
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_making_and_destroying_interpreters_does_not_grow_memory(kind):
    if kind == "isolated":
        module = interpreter_module()
        source = LEAK.replace("MAKE_AND_DESTROY", "interp = interpreters.create(); "
                              "interpreters.run_string(interp, code); interpreters.destroy(interp)")
        source = f"import {module} as interpreters\n" + source
    else:
        pytest.importorskip("_testcapi")
        source = LEAK.replace("MAKE_AND_DESTROY", "assert _testcapi.run_in_subinterp(code) == 0")
        source = "import _testcapi\n" + source
    done = run_script(source, timeout=300)
    assert done.returncode == 0, done.stderr
    with_module, without = json.loads(done.stdout)
    # A module object kept per interpreter, with its classes, is some 60 blocks.
    assert with_module - without < 1, (with_module, without)


def test_concurrent_interpreters_and_interpreter_pool():
    if sys.version_info < (3, 14):
        pytest.skip("concurrent.interpreters and InterpreterPoolExecutor came with CPython 3.14")
    done = run_script("""
import json
from concurrent import interpreters
from concurrent.futures import InterpreterPoolExecutor
import frasolet

texts = ["Hi [name|a,b]!", "\\u4e2d [x] y", "", "[a][b|c,d] end"] * 5
def fields(fragments):
    return [(f.string, f.options) for f in fragments]

interp = interpreters.create()
called = interp.call(frasolet.parse, texts[0])
interp.close()
with InterpreterPoolExecutor(2) as pool:
    pooled = list(pool.map(frasolet.parse, texts))
print(json.dumps({
    "called": fields(called), "pooled": [fields(f) for f in pooled],
    "expected": [fields(frasolet.parse(t)) for t in texts],
    "main classes": all(type(f) is frasolet.PromptFragment for fs in pooled for f in fs),
}))
""", timeout=300)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["called"] == report["expected"][0]
    assert report["pooled"] == report["expected"]
    assert report["main classes"]
