"""Out-of-memory sweeps: every entry returns or raises cleanly at every failure point.

Each sweep runs in its own interpreter.  ``_testcapi.set_nomemory(k, stop)``
lets the first ``k`` allocations succeed; with ``stop`` 0 every later one
fails ("tail" mode), with ``stop`` k + 1 only the next one does ("single"
mode).  The tail sweep goes on until the operation succeeds with every
allocation after the k-th refused, which means k is past its last allocation;
the single sweep then covers every point up to there and a little beyond.
"""

import json

import pytest

from conftest import run_script

pytest.importorskip("_testcapi")

HARNESS = r'''
import json, sys, _testcapi, frasolet

PromptFragment = frasolet.PromptFragment
MARGIN = 25
LIMIT = 20000


def is_panic(error):
    cls = type(error)
    return cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime"


def attempt(func, args, start, stop):
    _testcapi.set_nomemory(start, stop)
    try:
        result = func(*args)
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        return error, None
    _testcapi.remove_mem_hooks()
    return None, result


panic_classes = set()
panic_messages = []


def classify(error):
    if error is None:
        return "ok"
    if isinstance(error, MemoryError):
        return "memory"
    if is_panic(error):
        cls = type(error)
        assert cls.__bases__ == (BaseException,), cls.__mro__
        assert cls.__doc__.startswith("\n") and cls.__doc__.endswith("\n"), cls.__doc__
        assert "\n\n" in cls.__doc__.strip("\n"), cls.__doc__
        assert len(error.args) == 1 and type(error.args[0]) is str and error.args[0], error.args
        panic_classes.add(cls)
        panic_messages.append(error.args[0])
        return "panic"
    raise AssertionError(f"unexpected {type(error).__module__}.{type(error).__qualname__}: {error!r}")


# Make the lazily created objects before any allocation is refused: a
# fetched error creates the fault exception class.
try:
    frasolet.parse("\ud800")
except UnicodeEncodeError:
    pass

__OPERATION__

for _ in range(3):
    func, args = prepare()
    check(func(*args), func, args)

summary = {}
for mode in ("tail", "single"):
    counts = {"ok": 0, "memory": 0, "panic": 0}
    first_ok = None
    start = 0
    while True:
        func, args = prepare()
        stop = 0 if mode == "tail" else start + 1
        error, result = attempt(func, args, start, stop)
        kind = classify(error)
        counts[kind] += 1
        if kind == "ok":
            check(result, func, args)
        else:
            check_after_failure(func, args)
        # The objects involved must be fully usable again.
        func2, args2 = prepare()
        check(func2(*args2), func2, args2)
        if mode == "tail":
            if kind == "ok" and first_ok is None:
                first_ok = start
            if first_ok is not None:
                assert kind == "ok", f"tail sweep failed at {start} after succeeding at {first_ok}"
                if start >= first_ok + MARGIN:
                    allocations = first_ok
                    break
        elif start >= allocations + MARGIN:
            break
        start += 1
        assert start < LIMIT, f"{mode} sweep did not finish"
    summary[mode] = counts
summary["allocations"] = allocations
summary["panic_classes"] = len(panic_classes)
summary["panic_messages"] = sorted(set(panic_messages))
assert not hasattr(frasolet, "PanicException")
print("SWEEP-DONE " + json.dumps(summary))
'''

# Texts longer than a short-string buffer, so that the native side allocates.
NAME = "a mask name that is long enough"
FIRST = "the first option, long enough"
SECOND = "the second option, long enough"

PARSE = r'''
TEMPLATE = "".join(["Hello there, this is a long text [a long mask name|first long option,",
                    "second long option] and [x] or [col|red#green,blue] \\[escaped text\\] [y|z]!"])
EXPECTED = [("Hello there, this is a long text ", None),
            ("a long mask name", ["first long option", "second long option"]),
            (" and ", None), ("x", []), (" or ", None), ("col", ["red", "green", "blue"]),
            (" [escaped text] ", None), ("y", ["z"]), ("!", None)]

def prepare():
    return frasolet.parse, (TEMPLATE,)

def check(result, func, args):
    assert [(f.string, f.options) for f in result] == EXPECTED
    assert all(type(f) is PromptFragment for f in result)

def check_after_failure(func, args):
    assert args[0] == TEMPLATE
'''

CONSTRUCT = rf'''
OPTIONS = [{FIRST!r}, {SECOND!r}, "third"]

def prepare():
    return PromptFragment, ({NAME!r}, OPTIONS)

def check(result, func, args):
    assert type(result) is PromptFragment
    assert (result.string, result.options) == ({NAME!r}, [{FIRST!r}, {SECOND!r}, "third"])
    assert str(result) == "[" + {NAME!r} + "|" + {FIRST!r} + "," + {SECOND!r} + ",third]"

def check_after_failure(func, args):
    assert OPTIONS == [{FIRST!r}, {SECOND!r}, "third"]
'''


def _reader(expression, expected):
    # ``expected`` is Python source, evaluated once before the sweeps.
    return rf'''
FRAGMENT = PromptFragment({NAME!r}, [{FIRST!r}, {SECOND!r}])
EXPECTED = {expected}

def prepare():
    return (lambda f: {expression}), (FRAGMENT,)

def check(result, func, args):
    assert result == EXPECTED, result
    check_after_failure(func, args)

def check_after_failure(func, args):
    assert (FRAGMENT.string, FRAGMENT.options) == ({NAME!r}, [{FIRST!r}, {SECOND!r}])
    FRAGMENT.string = {NAME!r}
'''


SETSTATE = r'''
STATE = {"string": "a new name, long enough to allocate", "options": ["new option one, long enough", "p"]}
current = []

def prepare():
    fragment = PromptFragment("the old name, long enough too", ["the old option, long enough"])
    current[:] = [fragment]
    return fragment.__setstate__, (STATE,)

def check(result, func, args):
    assert result is None
    fragment = current[0]
    assert fragment.__getstate__() == STATE

def check_after_failure(func, args):
    fragment = current[0]
    old = ("the old name, long enough too", ["the old option, long enough"])
    new = (STATE["string"], STATE["options"])
    # Fields already replaced stay replaced; the others keep the old value.
    assert (fragment.string, fragment.options) in [old, (new[0], old[1]), new]
    assert STATE == {"string": "a new name, long enough to allocate",
                    "options": ["new option one, long enough", "p"]}
    fragment.string = "usable"
    assert str(fragment).startswith("[usable|")
'''

SETTER = rf'''
VALUE = ({FIRST!r}, {SECOND!r})
current = []

def prepare():
    fragment = PromptFragment({NAME!r}, ["the old option, long enough"])
    current[:] = [fragment]
    return setattr, (fragment, "options", VALUE)

def check(result, func, args):
    assert current[0].options == [{FIRST!r}, {SECOND!r}]

def check_after_failure(func, args):
    fragment = current[0]
    assert fragment.options == ["the old option, long enough"]
    fragment.options = ["usable"]
'''

OPERATIONS = {
    "parse": PARSE,
    "construct": CONSTRUCT,
    "get-string": _reader("f.string", repr(NAME)),
    "get-options": _reader("f.options", repr([FIRST, SECOND])),
    "str": _reader("str(f)", repr(f"[{NAME}|{FIRST},{SECOND}]")),
    "repr": _reader("repr(f)", repr(f"[{NAME}]")),
    "hash": _reader("hash(f)", "hash(FRAGMENT)"),
    "getstate": _reader("f.__getstate__()", repr({"string": NAME, "options": [FIRST, SECOND]})),
    "setstate": SETSTATE,
    "set-options": SETTER,
}

# Operations that must make new Python objects, so that a refused allocation
# there has to be reported as an internal fault.
MUST_PANIC = {"parse", "get-string", "get-options", "str", "repr", "getstate"}


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_out_of_memory_sweep(name):
    script = HARNESS.replace("__OPERATION__", OPERATIONS[name])
    done = run_script(script, timeout=900)
    lines = [line for line in done.stdout.splitlines() if line.startswith("SWEEP-DONE ")]
    assert done.returncode == 0, f"exit code {done.returncode}\n{done.stdout[-2000:]}\n{done.stderr[-4000:]}"
    assert lines, f"the sweep did not reach its end\n{done.stderr[-4000:]}"
    summary = json.loads(lines[-1][len("SWEEP-DONE "):])
    assert summary["allocations"] > 0
    for mode in ("tail", "single"):
        counts = summary[mode]
        assert counts["memory"] + counts["panic"] > 0, summary
        assert counts["ok"] > 0, summary
    assert summary["panic_classes"] <= 1
    if name in MUST_PANIC:
        assert summary["single"]["panic"] > 0, summary
    if summary["single"]["panic"] or summary["tail"]["panic"]:
        assert "thread '<unnamed>' panicked at '" in done.stderr
        assert summary["panic_messages"]


RESUMED = r"""
import sys, _testcapi, frasolet

fragment = frasolet.PromptFragment("a long enough name for the fragment")
panic = None
for start in range(50):
    _testcapi.set_nomemory(start, start + 1)
    try:
        fragment.string
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        if type(error).__name__ == "PanicException":
            panic = type(error)
            break
    else:
        _testcapi.remove_mem_hooks()
assert panic is not None, "no fault was reported"
# The refused str was printed and recorded as the last exception.
assert sys.last_type is MemoryError, sys.last_type
sys.stderr.write("=== resumed from here ===\n")
sys.stderr.flush()


class Panicking:
    def __getitem__(self, index):
        raise AssertionError("iteration goes through __iter__")

    def __iter__(self):
        raise panic("raised by Python code")


target = frasolet.PromptFragment("keep", ["old"])
try:
    target.options = Panicking()
except Exception as error:
    raise AssertionError(f"caught as Exception: {error!r}")
except BaseException as error:
    assert type(error) is panic, type(error)
    assert error.args == ("Unwrapped panic from Python code",), error.args
else:
    raise AssertionError("no exception")
assert (target.string, target.options) == ("keep", ["old"])
# A resumed fault is printed without being recorded.
assert sys.last_type is MemoryError, sys.last_type
target.options = ["usable"]
assert target.options == ["usable"]
print("RESUMED-DONE")
"""


def test_panic_raised_by_python_code_is_resumed():
    done = run_script(RESUMED, timeout=120)
    assert done.returncode == 0, f"{done.stdout}\n{done.stderr[-4000:]}"
    assert "RESUMED-DONE" in done.stdout
    resumed = done.stderr.split("=== resumed from here ===\n", 1)[1]
    assert resumed.startswith(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
    ), resumed
    assert "raised by Python code" in resumed
    assert "panicked at" not in resumed
