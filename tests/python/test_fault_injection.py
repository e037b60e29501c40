"""Out-of-memory sweeps: every entry returns or raises cleanly at every failure point.

Each sweep runs ``fault_harness.py`` in its own interpreter; the harness
holds the table of operations and the rules of a sweep.
"""

import json
import subprocess
from pathlib import Path

import pytest

from support import PYTHON, run_script

_testcapi = pytest.importorskip("_testcapi")
import fault_harness  # noqa: E402 - needs _testcapi

HARNESS = Path(fault_harness.__file__)
SWEEPS = list(fault_harness.OPERATIONS)


def run_harness(*arguments):
    """The JSON summary the harness printed last, its BAD lines and its stderr."""
    done = subprocess.run([*PYTHON, str(HARNESS), *arguments], capture_output=True,
                          text=True, timeout=900)
    detail = done.stdout[-4000:] + "\n--- stderr tail ---\n" + done.stderr[-4000:]
    assert done.returncode == 0, detail
    lines = done.stdout.splitlines()
    assert lines and lines[-1].startswith("SWEEP-END " if arguments[0] == "sweep"
                                          else "FIRST-ITER-END "), detail
    assert [line for line in lines if line.startswith("BAD")] == [], detail
    summary = json.loads(lines[-1].split(" ", 1)[1])
    assert summary["bad"] == 0, detail
    assert summary["panic_classes"] <= 1, summary
    return summary, done.stderr, detail


def test_sweep_table_is_complete():
    assert len(SWEEPS) >= 55
    for wanted in ("parse", "fragment_new", "fragment_string_get", "fragment_options_get",
                   "fragment_str", "fragment_repr", "fragment_hash", "fragment_getstate",
                   "fragment_setstate", "fragment_options_set", "template_new",
                   "template_fragments_get", "template_fragments_set_list",
                   "template_tokenizer_get", "template_tokenizer_set", "template_parse",
                   "template_getstate", "template_setstate", "template_str", "template_hash",
                   "template_len", "template_subscript", "template_iter", "iterator_next"):
        assert wanted in SWEEPS


@pytest.mark.parametrize("name", SWEEPS)
def test_out_of_memory_sweep(name):
    entry = fault_harness.OPERATIONS[name]
    summary, stderr, detail = run_harness("sweep", name)
    for mode, counts in summary["counts"].items():
        assert counts["expected"] > 0, (mode, detail)
        if not entry.may_not_allocate:
            assert counts["oom"] + counts["lost"] + counts["panic"] > 0, (mode, detail)
    if not entry.may_not_allocate:
        assert summary["allocations"] > 0, detail
    if entry.must_panic:
        assert summary["counts"]["single"]["panic"] > 0, detail
    if any(counts["panic"] for counts in summary["counts"].values()):
        assert "thread '<unnamed>' panicked at '" in stderr
        assert summary["panic_messages"]


@pytest.mark.parametrize("mode", ["single", "tail"])
def test_out_of_memory_sweep_first_iterator(mode):
    summary, _, detail = run_harness("first-iterator", mode)
    # Making the class needs memory, so some attempts must have failed.
    assert summary["failures"] > 0, detail


def test_sweep_harness_sees_injected_failures():
    # The harness itself: failing the first allocation of building a list
    # must surface as MemoryError, and the hooks must come off again.
    _testcapi.set_nomemory(0, 0)
    try:
        [object() for _ in range(3)]
    except MemoryError:
        failed = True
    else:
        failed = False
    finally:
        _testcapi.remove_mem_hooks()
    assert failed
    assert len([object() for _ in range(3)]) == 3


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
