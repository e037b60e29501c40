"""Threads the interpreter ends while it exits, through the module's frames.

CPython 3.10 to 3.13 end a daemon thread that asks for the lock back once
the interpreter finalizes, with a forced unwind through every native frame
on its stack; 3.14 and later park it for good.  Either way the process must
exit as it does without the module.  Each case runs in its own interpreter:
a daemon thread calls into the module, which runs Python code that parks
the thread until the interpreter has begun to exit.

A new entry that can run Python code joins EXIT_CASES with one line: where
the parked code comes from (set up on the main thread) and the call the
daemon thread makes.
"""

import sys

import pytest

from support import run_script

# The first import registers an exit callback (Python code) only where
# threads can be ended: 3.14 and later park them, and it has nothing to do.
IMPORT_RUNS_PYTHON_CODE = sys.version_info < (3, 14)

# park() holds the thread until the collection at exit runs AtExit, once
# the interpreter ends (or parks) threads; AtExit then lets the thread ask
# for the lock, and waits a little so that it does before the process ends.
PRELUDE = r"""
import _thread, gc, os, threading, time, warnings
warnings.simplefilter("ignore")
parked = _thread.allocate_lock()
parked.acquire()
gate = _thread.allocate_lock()
gate.acquire()

def park():
    parked.release()
    gate.acquire(timeout=60)
    os.write(1, b"parked code went on\n")  # never: the thread is ended or parked

class Parker:
    def __del__(self):
        park()

class AtExit:
    def __del__(self, gate=gate, sleep=time.sleep, write=os.write):
        gate.release()
        sleep(0.5)
        write(1, b"exited\n")
"""

EPILOGUE = r"""
def worker():
    CALL
    os.write(1, b"call returned\n")

threading.Thread(target=worker, daemon=True).start()
assert parked.acquire(timeout=60), "the thread never reached the parked code"
gc.disable()  # AtExit is collected at exit only
cycle = [AtExit()]
cycle.append(cycle)
del cycle
"""

TEMPLATE = "import frasolet\ntemplate = frasolet.PromptTemplate('Hi [name|a,b]!', None)\n"

# Python code the module runs whose item is released on a failure: each
# yields an object that is no fragment, and only the module holds it.
PARKER_ITEMS = TEMPLATE + """
class Items(list):
    def __iter__(self):
        yield Parker()
"""

# id: (setup on the main thread, the daemon thread's call)
EXIT_CASES = {
    "first import": (
        "import atexit\nregister = atexit.register\n"
        "atexit.register = lambda *a: (park(), register(*a))[1]",
        "import frasolet"),
    "first import, exit hook refused": (
        "import atexit\nclass Refusal(Exception):\n    __del__ = Parker.__del__\n"
        "def refuse(*a):\n    raise Refusal()\natexit.register = refuse",
        "import frasolet"),
    "sequence __len__": (
        TEMPLATE + "class Items(list):\n    def __len__(self):\n        park()\n        return 0",
        "frasolet.PromptFragment('x', Items())"),
    "sequence __iter__": (
        TEMPLATE + "class Items(list):\n    def __iter__(self):\n        park()\n"
        "        return iter([])",
        "template.fragments = Items()"),
    "item released by a failed setter": (PARKER_ITEMS, "template.fragments = Items()"),
    "item released by a failed __setstate__": (
        PARKER_ITEMS, "template.__setstate__((Items(), None))"),
    "type name of a refused argument": (
        TEMPLATE + "class Meta(type):\n    def __getattribute__(cls, name):\n"
        "        park()\n        return type.__getattribute__(cls, name)\n"
        "class Odd(metaclass=Meta):\n    pass",
        "frasolet.parse(Odd())"),
    "__index__": (
        TEMPLATE + "class Key:\n    def __index__(self):\n        park()\n        return 0",
        "template[Key()]"),
    "tokenizer released by a setter": (
        TEMPLATE + "template.tokenizer = Parker()", "template.tokenizer = None"),
    "tokenizer released by __setstate__": (
        TEMPLATE + "template.tokenizer = Parker()", "template.__setstate__(([], None))"),
    "template released": (
        TEMPLATE + "held = [frasolet.PromptTemplate('x', Parker())]", "held.clear()"),
    "syntax error __init__": (
        "import frasolet\nError = frasolet.TemplateSyntaxError\ninit = Error.__init__\n"
        "def parked_init(self, *a):\n    park()\n    init(self, *a)\nError.__init__ = parked_init",
        "frasolet.parse('a]', strict=True)"),
}


@pytest.mark.parametrize("case", list(EXIT_CASES))
def test_thread_parked_in_python_code_at_exit(case):
    setup, call = EXIT_CASES[case]
    if case.startswith("first import") and not IMPORT_RUNS_PYTHON_CODE:
        pytest.skip("the import runs no Python code here")
    done = run_script(PRELUDE + setup + EPILOGUE.replace("CALL", call), timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "exited\n", "")


# An ordinary failure on the thread that finalizes, inside a sub-interpreter
# entered on it (its state is not the thread's first one): the TypeError
# reaches the sub-interpreter's code, as len(5) does. One run per process:
# CPython 3.10 ends the finalizing thread once a run has switched back.
SUB_INTERPRETER_AT_EXIT = r"""
import os
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
sub = interpreters.create()
interpreters.run_string(sub, "import frasolet")
CODE = '''if 1:
    import os, frasolet
    try:
        CALL
    except TypeError as error:
        os.write(1, f"TypeError: {error}\\n".encode())
'''

class AtExit:
    def __del__(self, run=interpreters.run_string, sub=sub, code=CODE):
        run(sub, code)

cycle = [AtExit()]
cycle.append(cycle)
del cycle
"""


@pytest.mark.parametrize("call", ["frasolet.parse(5)", "frasolet.PromptTemplate.parse(5)"])
def test_failure_in_a_sub_interpreter_at_exit(call):
    try:
        import _interpreters  # noqa: F401
    except ImportError:
        pytest.importorskip("_xxsubinterpreters")
    done = run_script(SUB_INTERPRETER_AT_EXIT.replace("CALL", call), timeout=120)
    message = "TypeError: argument 'template': 'int' object cannot be converted to 'PyString'\n"
    assert (done.returncode, done.stdout) == (0, message), done.stderr
