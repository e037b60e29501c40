"""What an attacker or a long-running service can do to the module.

* Crafted pickles hand constructors, setters and ``__setstate__`` values that
  only a dict of the unpickler keeps; user code run by a conversion clears
  that dict.  Each case runs in its own interpreter: before the fix they
  read freed memory and crashed.
* Legacy sub-interpreters: each has classes of its own, on every version
  (isolated ones: test_interpreters.py).
* Template-tokenizer cycles are freed by the cyclic collector.
* Plain Python that crashed the process or raised an internal fault: a
  failed first import, a resurrected module, a replaced ``__new__`` (threads
  ended at exit: test_thread_exit.py).
"""

import gc
import json
import sys
import weakref

import pytest

import frasolet
from support import run_script

PromptTemplate = frasolet.PromptTemplate

# A list whose __len__ clears every dict that holds it as a value, so that
# it loses its last reference other than the one the module must hold, then
# churns the allocator so that freed memory would be reused at once.
EVIL = r"""
import gc, pickle, frasolet

class Evil(list):
    def __len__(self):
        for holder in gc.get_referrers(self):
            if isinstance(holder, dict) and any(v is self for v in holder.values()):
                holder.clear()
        junk = [[object()] for _ in range(2000)]
        return 2

class HidesSetState:
    # Without __setstate__, pickle's BUILD sets the slot state through
    # setattr, with values borrowed from the state dict.
    def __getattribute__(self, name):
        if name == "__setstate__":
            raise AttributeError(name)
        return super().__getattribute__(name)

class Fragment(HidesSetState, frasolet.PromptFragment):
    pass

class Template(HidesSetState, frasolet.PromptTemplate):
    pass

def make_template():
    return Template("x", None)

def text(value):
    data = value.encode()
    return b"\x8c" + bytes([len(data)]) + data

def evil():
    # Evil(["a", "b"]) made by NEWOBJ and APPENDS, kept nowhere but where
    # the next opcode puts it.
    return b"c__main__\nEvil\n)\x81(" + text("a") + text("b") + b"e"

def evil_fragments():
    return (b"c__main__\nEvil\n)\x81(cfrasolet\nPromptFragment\n)\x81"
            b"cfrasolet\nPromptFragment\n)\x81e")

def slot_state(key, value):
    # BUILD with the state (None, {key: value}).
    return b"N}" + text(key) + value + b"s\x86b"

CASES = {
    # NEWOBJ_EX: PromptFragment(**{"option": Evil})
    "constructor": b"\x80\x04cfrasolet\nPromptFragment\n)}" + text("option") + evil() + b"s\x92.",
    "options setter": b"\x80\x04c__main__\nFragment\n)\x81" + slot_state("options", evil()) + b".",
    "fragments setter": b"\x80\x04c__main__\nmake_template\n)R"
    + slot_state("fragments", evil_fragments()) + b".",
    # BUILD through __setstate__ with {"options": Evil, "string": "s"}.
    "__setstate__": b"\x80\x04cfrasolet\nPromptFragment\n)\x81}(" + text("options") + evil()
    + text("string") + text("s") + b"ub.",
}
"""


@pytest.mark.parametrize(
    "case, expected",
    [
        ("constructor", ["PromptFragment", "", ["a", "b"]]),
        ("options setter", ["Fragment", "", ["a", "b"]]),
        ("fragments setter", ["Template", "", None]),
        # The first item is applied, then the walk ends: the dict changed.
        ("__setstate__", ["PromptFragment", "", ["a", "b"]]),
    ],
)
def test_crafted_pickle_values_stay_alive(case, expected):
    script = (
        EVIL
        + f"""
import json
result = pickle.loads(CASES[{case!r}])
if isinstance(result, frasolet.PromptTemplate):
    print(json.dumps([type(result).__name__, str(result), None]))
else:
    print(json.dumps([type(result).__name__, result.string, result.options]))
"""
    )
    done = run_script(script, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == expected


def test_setstate_stops_where_the_dict_was_resized():
    # "string" is still in the dict after it grew, but at a new position.
    state = {"options": None, "string": "never applied"}

    class Growing(list):
        def __iter__(self):
            state.update((f"key{index}", index) for index in range(100))
            return super().__iter__()

    state["options"] = Growing(["a"])
    fragment = frasolet.PromptFragment("old")
    fragment.__setstate__(state)
    assert (fragment.string, fragment.options) == ("old", ["a"])


# ---- sub-interpreters --------------------------------------------------------

SUB_INTERPRETER = r'''
import json, os, sys, _testcapi

CODE = """
import os
try:
    import frasolet
    f = frasolet.PromptFragment("right", ["a"])
    t = frasolet.PromptTemplate("x[y|z]", None)
    result = ["ok", f.string, f.options, str(t), [str(g) for g in iter(t)],
              repr(frasolet.parse("a[b]")), hash(t) == hash(frasolet.PromptFragment("x[y|z]"))]
except ImportError as error:
    result = ["ImportError", str(error)]
os.write(FD, repr(result).encode())
"""

def in_sub_interpreter():
    read_end, write_end = os.pipe()
    status = _testcapi.run_in_subinterp(CODE.replace("FD", str(write_end)))
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        return status, pipe.read()

def in_main():
    import frasolet
    return str(frasolet.PromptTemplate("x[y|z]", None)), frasolet.parse("a[b]")[1].string

first = in_main() if MAIN_FIRST else None
status, sub = in_sub_interpreter()
again = in_sub_interpreter()[1]
print(json.dumps({"status": status, "sub": sub, "again": again,
                  "main": [first, in_main()]}))
'''


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
def test_sub_interpreters(main_first):
    pytest.importorskip("_testcapi")
    done = run_script(SUB_INTERPRETER.replace("MAIN_FIRST", str(main_first)), timeout=120)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    main = ["x[y|z]", "b"]
    assert report["main"] == [main if main_first else None, main]
    works = repr(["ok", "right", ["a"], "x[y|z]", ["x", "[y|z]"], '["a", [b]]', True])
    assert report["sub"] == report["again"] == works
    assert report["status"] == 0


# ---- template-tokenizer cycles -----------------------------------------------


class Tokenizer:
    def __init__(self):
        self.templates = []


class SubTemplate(PromptTemplate):
    pass


def tokenizer_owns_template():
    tokenizer = Tokenizer()
    tokenizer.templates.append(PromptTemplate("Hi [name|a,b]!", tokenizer))
    return weakref.ref(tokenizer)


def template_is_its_own_tokenizer():
    template = PromptTemplate("Hi [name|a,b]!", None)
    template.tokenizer = template
    return None


def subclass_instance_cycle():
    template = SubTemplate("Hi [name|a,b]!", Tokenizer())
    template.tokenizer.templates.append(template)
    return weakref.ref(template)


@pytest.mark.parametrize(
    "make_cycle", [tokenizer_owns_template, template_is_its_own_tokenizer, subclass_instance_cycle]
)
def test_template_tokenizer_cycles_are_collected(make_cycle):
    rounds = 2000
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    references = [make_cycle() for _ in range(rounds)]
    gc.collect()
    assert all(reference is None or reference() is None for reference in references)
    del references
    gc.collect()
    # Each cycle holds several blocks (template, fragments, texts): a leak of
    # them all would be many thousands.
    assert sys.getallocatedblocks() - blocks_before < rounds // 4


# ---- crashes from plain Python -------------------------------------------------

# A first module whose exec failed (here: `__all__` is a tuple it cannot
# append to; or memory ran out) must not stay the interpreter's first, whose
# classes the static parse methods use.
FAILED_FIRST_IMPORT = r"""
import gc, importlib.util, sys
gc.disable()  # the failed modules live on in their cycles
spec = importlib.util.find_spec("frasolet")
failed = importlib.util.module_from_spec(spec)
failed.__all__ = ()
try:
    spec.loader.exec_module(failed)
except BaseException as error:  # the module reports it as an internal fault
    assert "__all__" in str(error), error
else:
    raise AssertionError("exec appended to a tuple")
try:
    import _testcapi
except ImportError:
    _testcapi = None
# Each exec with its n-th allocation failing; every module is kept alive,
# as the cycle of a failed import would keep it.
modules, failures = [], 0
for start in range(1, 300) if _testcapi else ():
    modules.append(importlib.util.module_from_spec(spec))
    _testcapi.set_nomemory(start, start + 1)
    try:
        spec.loader.exec_module(modules[-1])
    except BaseException:  # MemoryError, or a fault where a class could not be made
        failures += 1
    finally:
        _testcapi.remove_mem_hooks()
assert not _testcapi or failures > 3, failures
sys.modules.pop("frasolet", None)
import frasolet
for cls in (frasolet.PromptFragment, frasolet.PromptTemplate):
    assert [f.string for f in cls.parse("a[b]")] == ["a", "b"]
    assert type(cls.parse("a")[0]) is frasolet.PromptFragment
print("ok")
"""

# A collection clears its weak references to what it finds unreachable
# before it runs finalizers: one that resurrects the module's cycle leaves the
# module and its classes alive while the interpreter's weak reference is
# dead. Static methods and iterators reach their module through their class.
RESURRECTED_MODULE = r"""
import gc, sys
kept = []

def make():
    import frasolet
    class Sub(frasolet.PromptTemplate):
        def __del__(self):
            kept.append(self)
    template = Sub("a[b]", None)
    template.tokenizer = (template, frasolet)
    del sys.modules["frasolet"]

make()
gc.collect()
template, = kept
for cls in (type(template), type(template).__base__, type(template[0])):
    assert [f.string for f in cls.parse("x[y]")] == ["x", "y"], cls
assert [f.string for f in template] == ["a", "b"]
print("ok")
"""

# A __new__ that ends in object.__new__(cls) gets an instance straight from the
# allocation slot: it behaves as a default-built one wherever it goes.
REPLACED_NEW = r"""
import copy, gc, pickle, frasolet
from frasolet import PromptFragment, PromptTemplate

def plain_new(cls, *args, **kwargs):
    return object.__new__(cls)

PromptFragment.__new__ = staticmethod(plain_new)
PromptTemplate.__new__ = staticmethod(plain_new)

class SubFragment(PromptFragment):
    pass

class SubTemplate(PromptTemplate):
    __slots__ = ()

for cls in (PromptFragment, SubFragment):
    f = cls("ignored", ["by plain_new"])
    assert (f.string, f.options, str(f), repr(f)) == ("", None, "", '""'), cls
    empty = frasolet.parse("x")[0]
    empty.string = ""
    assert hash(f) == hash(empty)
    assert pickle.loads(pickle.dumps(f)).string == "" and copy.copy(f).options is None
    f.options = ["x"]
    assert str(f) == "[|x]"
    del f
    assert [g.string for g in PromptTemplate.parse("a[b]")] == ["a", "b"]

for cls in (PromptTemplate, SubTemplate):
    t = cls("x [y]", "tokenizer")
    assert (str(t), len(t), list(t), t.tokenizer, t.fragments) == ("", 0, [], None, []), cls
    assert hash(t) == hash(cls.__new__(cls))
    t.fragments = [SubFragment(), PromptFragment()]
    assert len(t) == 2 and str(copy.deepcopy(t)) == ""
    t.tokenizer = t
    del t
    gc.collect()

# Unused, collected, or moved to the class itself before any use.
SubFragment(), SubTemplate()
unused = SubTemplate()
unused.__class__ = PromptTemplate
assert str(unused) == "" and len(unused) == 0

iterator_class = type(iter(PromptTemplate.parse("a") and unused))
iterator_class.__new__ = staticmethod(plain_new)
try:
    iterator_class()
except TypeError as error:
    assert str(error) == "No constructor defined"
else:
    raise AssertionError("an iterator without a template")
print("ok")
"""


@pytest.mark.parametrize(
    "source, expected",
    [
        (FAILED_FIRST_IMPORT, "ok\n"),
        (RESURRECTED_MODULE, "ok\n"),
        (REPLACED_NEW, "ok\n"),
    ],
    ids=["failed-first-import", "resurrected-module", "replaced-new"],
)
def test_plain_python_cannot_crash_the_process(source, expected):
    done = run_script(source, timeout=120)
    assert (done.returncode, done.stdout) == (0, expected), done.stderr
