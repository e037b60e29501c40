"""PromptTemplate and its iterator under allocation failures, and reference
counts after many calls of every operation, failing calls included.

The allocation sweeps run in child interpreters: each sweep makes the n-th
allocation fail (alone, and then every allocation from the n-th on) for n
from 0 upwards until the operation has run to its normal end several times
in a row, so every allocation the operation makes is failed once. Every call
must then either give its normal outcome or raise MemoryError or the
internal-fault exception, and afterwards the objects must work normally and
no reference may be left behind."""

import copy
import gc
import pickle
import subprocess
import sys

import _testcapi
import pytest

if hasattr(_testcapi, "sequence_getitem"):  # moved to _testlimitedcapi in 3.13
    sequence_getitem = _testcapi.sequence_getitem
else:
    from _testlimitedcapi import sequence_getitem

from frasolet import PromptFragment, PromptTemplate

# -------------------------------------------------------- allocation sweeps

_SWEEP_PRELUDE = r'''
import gc
import re
import sys

import _testcapi
import frasolet

# PySequence_GetItem as a Python callable; CPython 3.13 moved it from
# _testcapi to _testlimitedcapi.
if hasattr(_testcapi, "sequence_getitem"):
    sequence_getitem = _testcapi.sequence_getitem
else:
    from _testlimitedcapi import sequence_getitem
from frasolet import PromptFragment, PromptTemplate

LIMIT = 20000
STREAK = 8
bad = []


def report(*parts):
    bad.append(" ".join(str(p) for p in parts))


def is_panic(exc):
    cls = type(exc)
    return (cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime"
            and issubclass(cls, BaseException) and not issubclass(cls, Exception))


def attempt(call, start, stop):
    _testcapi.set_nomemory(start, stop)
    try:
        value = call()
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        return False, exc
    _testcapi.remove_mem_hooks()
    return True, value


def unnamed(message):
    return re.sub(r"'[^']*' object cannot be converted",
                  "'<failed to extract type name>' object cannot be converted", message)


def chain(exc):
    seen = []
    while exc is not None and exc not in seen:
        seen.append(exc)
        exc = exc.__context__ if exc.__cause__ is None else exc.__cause__
    return seen


def shapes_of(fragments):
    return [(f.string, f.options) for f in fragments]


def shapes(t):
    return shapes_of(t.fragments)


class Token:
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class ActionIndex(Index):
    def __init__(self, action, value):
        super().__init__(value)
        self.action = action

    def __index__(self):
        self.action()
        return self.value


class Seq:
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class Sub(PromptTemplate):
    pass


TOK = Token()
TOK2 = Token()
TEXT = "".join(["Hello [", "name|a#b,c] and \\[x\\] [y]!"])
NEW_TEXT = "".join(["p[q]", "[r|s,t]"])
T = PromptTemplate(TEXT, TOK)
T_SHAPES = shapes(T)
assert T_SHAPES == [("Hello ", None), ("name", ["a", "b", "c"]), (" and [x] ", None),
                    ("y", []), ("!", None)], T_SHAPES
T_STR = str(T)
T_HASH = hash(T)
ORIGINAL = T.fragments
F1, F2, F3 = PromptFragment("p"), PromptFragment("q", []), PromptFragment("r", ["s", "t"])
NEW_SHAPES = [("p", None), ("q", []), ("r", ["s", "t"])]
NEW_LIST = [F1, F2, F3]
NEW_TUPLE = (F1, F2, F3)
NEW_TEMPLATE = PromptTemplate(NEW_TEXT, None)
NEW_SEQ = Seq(NEW_LIST)
assert shapes(NEW_TEMPLATE) == NEW_SHAPES
STATE_NEW = {"template": NEW_TEXT}
STATE_PARTIAL = {"template": NEW_TEXT, 1: 2}

# Make sure the classes of the iterator and of internal faults exist before
# any allocation is failed: a fetched error and a first iterator.
try:
    T["warm"]
except TypeError:
    pass
try:
    T.fragments = Seq([F1, 5])
except TypeError:
    pass
ITER_CLASS = type(iter(T))
'''


_SWEEP_BODY = r'''
OPS = {}


def op(name, call, expected=None, check=None, prepare=None, after=None, changes=False,
       extra=(), watched=()):
    OPS[name] = dict(call=call, expected=expected, check=check, prepare=prepare,
                     after=after, changes=changes, extra=extra, watched=watched)


def returns_template(cls, expected_shapes, tok):
    def check(value):
        assert type(value) is cls, type(value)
        assert shapes(value) == expected_shapes, shapes(value)
        assert value.tokenizer is tok
        value.tokenizer = TOK2
        value.fragments = NEW_LIST
        assert shapes(value) == NEW_SHAPES
    return check


def is_(expected):
    def check(value):
        assert value is expected, value
    return check


def equal_to(expected, cls):
    def check(value):
        assert type(value) is cls and value == expected, value
    return check


def fragment_like(shape):
    def check(value):
        assert type(value) is PromptFragment
        assert (value.string, value.options) == shape, (value.string, value.options)
        value.string = value.string
    return check


def returns_fragments(expected_shapes):
    def check(value):
        assert type(value) is list
        assert all(type(f) is PromptFragment for f in value)
        assert shapes_of(value) == expected_shapes, shapes_of(value)
        for f in value:
            f.string = f.string
    return check


def fragments_now_old_or_new(verdict):
    now = shapes(T)
    if verdict == "expected":
        assert now == NEW_SHAPES, now
    else:
        assert now in (T_SHAPES, NEW_SHAPES), now
    T.fragments = ORIGINAL


def fragments_unchanged(verdict):
    assert shapes(T) == T_SHAPES


NOT_STR = "argument 'template': 'int' object cannot be converted to 'PyString'"

# Construction.
op("new", lambda: PromptTemplate(TEXT, TOK),
   check=returns_template(PromptTemplate, T_SHAPES, TOK), watched=(TOK, TEXT))
op("new_keywords", lambda: PromptTemplate(tokenizer=TOK, template=TEXT),
   check=returns_template(PromptTemplate, T_SHAPES, TOK), watched=(TOK, TEXT))
op("new_none", lambda: PromptTemplate(None, TOK),
   check=returns_template(PromptTemplate, [], TOK), watched=(TOK,))
op("new_subclass", lambda: Sub(TEXT, TOK),
   check=returns_template(Sub, T_SHAPES, TOK), watched=(TOK, TEXT, Sub))
op("new_bad_template", lambda: PromptTemplate(5, TOK), expected=(TypeError, NOT_STR),
   watched=(TOK,))
op("new_missing", lambda: PromptTemplate(TEXT), watched=(TEXT,),
   expected=(TypeError, "PromptTemplate.__new__() missing 1 required positional argument: "
                        "'tokenizer'"))
op("new_unexpected_keyword", lambda: PromptTemplate(TEXT, TOK, bogus=1), watched=(TOK, TEXT),
   expected=(TypeError, "PromptTemplate.__new__() got an unexpected keyword argument 'bogus'"))

# The fragments property.
op("fragments_get", lambda: T.fragments, check=returns_fragments(T_SHAPES))
op("fragments_set_list", lambda: setattr(T, "fragments", NEW_LIST), changes=True,
   after=fragments_now_old_or_new, watched=(NEW_LIST, F1, F2, F3))
op("fragments_set_tuple", lambda: setattr(T, "fragments", NEW_TUPLE), changes=True,
   after=fragments_now_old_or_new, watched=(NEW_TUPLE, F1, F2, F3))
op("fragments_set_template", lambda: setattr(T, "fragments", NEW_TEMPLATE), changes=True,
   after=fragments_now_old_or_new, watched=(NEW_TEMPLATE,))
op("fragments_set_user_sequence", lambda: setattr(T, "fragments", NEW_SEQ), changes=True,
   after=fragments_now_old_or_new, watched=(NEW_SEQ, F1, F2, F3), extra=(IndexError,))
def emptied_or_old(verdict):
    now = shapes(T)
    assert now == [] if verdict == "expected" else now in ([], T_SHAPES), now
    T.fragments = ORIGINAL


op("fragments_set_empty_str", lambda: setattr(T, "fragments", ""), changes=True,
   after=emptied_or_old)
op("fragments_set_bad_item", lambda: setattr(T, "fragments", [F1, F2, 5]),
   expected=(TypeError, "'int' object cannot be converted to 'PromptFragment'"),
   after=fragments_unchanged, watched=(F1, F2))
op("fragments_set_not_sequence", lambda: setattr(T, "fragments", 5),
   expected=(TypeError, "'int' object cannot be converted to 'Sequence'"),
   after=fragments_unchanged)
op("fragments_set_itself", lambda: setattr(T, "fragments", T),
   expected=(RuntimeError, "Already mutably borrowed"), after=fragments_unchanged)
op("fragments_delete", lambda: delattr(T, "fragments"),
   expected=(AttributeError, "can't delete attribute"), after=fragments_unchanged)

# The tokenizer property.
op("tokenizer_get", lambda: T.tokenizer, check=is_(TOK))


def tokenizer_after(verdict):
    now = T.tokenizer
    if verdict == "expected":
        assert now is TOK2
    else:
        assert now is TOK or now is TOK2
    T.tokenizer = TOK


op("tokenizer_set", lambda: setattr(T, "tokenizer", TOK2), after=tokenizer_after, changes=True,
   watched=(TOK, TOK2))
op("tokenizer_delete", lambda: delattr(T, "tokenizer"),
   expected=(AttributeError, "can't delete attribute"))

# Static parse.
op("parse", lambda: PromptTemplate.parse(TEXT), check=returns_fragments(T_SHAPES),
   watched=(TEXT,))
op("parse_through_instance", lambda: T.parse(template=TEXT), check=returns_fragments(T_SHAPES),
   watched=(TEXT,))
op("parse_bad", lambda: PromptTemplate.parse(5), expected=(TypeError, NOT_STR))

# State.
op("getstate", lambda: T.__getstate__(), check=equal_to({"template": T_STR}, dict))
op("getstate_bad", lambda: T.__getstate__(1),
   expected=(TypeError, "PromptTemplate.__getstate__() takes 0 positional arguments but 1 "
                        "was given"))
op("setstate", lambda: T.__setstate__(STATE_NEW), changes=True,
   check=is_(None),
   after=fragments_now_old_or_new, watched=(STATE_NEW, NEW_TEXT))
op("setstate_partial", lambda: T.__setstate__(STATE_PARTIAL), changes=True,
   expected=(TypeError, "'int' object cannot be converted to 'PyString'"),
   after=fragments_now_old_or_new, watched=(STATE_PARTIAL, NEW_TEXT))
op("setstate_not_dict", lambda: T.__setstate__([]),
   expected=(TypeError, "'list' object cannot be converted to 'PyDict'"),
   after=fragments_unchanged)

# Slots.
op("str", lambda: str(T), check=equal_to(T_STR, str))
op("repr", lambda: repr(T), check=equal_to(T_STR, str))
op("hash", lambda: hash(T), check=equal_to(T_HASH, int))
op("len", lambda: len(T), check=equal_to(len(T_SHAPES), int))

INDEX = Index(3)
op("subscript", lambda: T[1], check=fragment_like(T_SHAPES[1]))
op("subscript_index_object", lambda: T[INDEX], watched=(INDEX,),
   check=fragment_like(T_SHAPES[3]))
op("subscript_sequence_item", lambda: sequence_getitem(T, 4),
   check=fragment_like(T_SHAPES[4]))
op("subscript_out_of_range", lambda: T[100],
   expected=(IndexError, "PromptTemplate index out of range"))
op("subscript_negative", lambda: T[-1], expected=(OverflowError, None))
op("subscript_str", lambda: T["1"], expected=(TypeError, None))
WRITING_KEY = ActionIndex(lambda: setattr(T, "fragments", NEW_LIST), 0)
op("subscript_reentrant", lambda: T[WRITING_KEY], expected=(RuntimeError, "Already borrowed"),
   after=fragments_unchanged, watched=(WRITING_KEY, NEW_LIST))

# Iteration.
def iter_check(value):
    assert type(value) is ITER_CLASS
    assert iter(value) is value
    assert shapes_of(value) == T_SHAPES


op("iter", lambda: iter(T), check=iter_check)
op("list", lambda: list(T), check=returns_fragments(T_SHAPES))

current = {}


def fresh_iterator():
    current["it"] = iter(T)


def next_after(verdict):
    rest = shapes_of(current.pop("it"))
    if verdict == "expected":
        assert rest == T_SHAPES[1:], rest
    else:
        assert rest in (T_SHAPES[1:], T_SHAPES), rest


op("next", lambda: next(current["it"]), prepare=fresh_iterator, check=fragment_like(T_SHAPES[0]),
   after=next_after)


def last_iterator():
    it = iter(T)
    for _ in range(len(T_SHAPES) - 1):
        next(it)
    current["it"] = it


def last_after(verdict):
    it = current.pop("it")
    rest = shapes_of(it)
    assert rest == [] if verdict == "expected" else rest in ([], [T_SHAPES[-1]]), rest
    assert next(it, None) is None


op("next_last", lambda: next(current["it"]), prepare=last_iterator,
   check=fragment_like(T_SHAPES[-1]), after=last_after)

EXHAUSTED = iter(PromptTemplate("a", None))
next(EXHAUSTED)


def stop_check(exc):
    assert exc.value is None and exc.args == (None,), exc.args


op("next_exhausted", lambda: next(EXHAUSTED), expected=(StopIteration, None),
   check=stop_check)
op("iter_no_constructor", lambda: ITER_CLASS(),
   expected=(TypeError, "No constructor defined"))


def common_after(entry):
    # Borrow flags must all be clear again: the writers prove it.
    if not entry["changes"]:
        assert shapes(T) == T_SHAPES, shapes(T)
        assert T.tokenizer is TOK
    T.tokenizer = TOK
    T.fragments = ORIGINAL
    for f in (F1, F2, F3):
        f.string = f.string
        f.options = f.options
    NEW_TEMPLATE.tokenizer = None


def classify(entry, returned, payload):
    expected = entry["expected"]
    if returned:
        if expected is not None:
            return "bad", "returned %r instead of raising %r" % (payload, expected)
        if entry["check"] is not None:
            try:
                entry["check"](payload)
            except BaseException as exc:
                return "bad", "wrong result %r: %r" % (payload, exc)
        return "expected", ""
    exc = payload
    if expected is not None and type(exc) is expected[0]:
        if exc.args == () and expected[1]:
            # The interpreter's PyErr_SetString sets the exception without a
            # value when it cannot make the message str.
            return "oom", ""
        if expected[1] is not None and str(exc) != expected[1]:
            if str(exc) == unnamed(expected[1]):
                # The type name of the value could not be read.
                return "oom", ""
            return "bad", "wrong message %r" % (str(exc),)
        if entry["check"] is not None:
            try:
                entry["check"](exc)
            except BaseException as inner:
                return "bad", "wrong exception %r: %r" % (exc, inner)
        return "expected", ""
    if isinstance(exc, MemoryError):
        allowed = (MemoryError,) + tuple(entry["extra"]) + ((expected[0],) if expected else ())
        for link in chain(exc):
            if not (isinstance(link, allowed) or is_panic(link)):
                return "bad", "MemoryError raised over %r" % (link,)
        return "oom", ""
    if (sys.version_info >= (3, 11) and type(exc) is SystemError
            and ("error return without exception set" in str(exc)
                 or "returned NULL without setting an exception" in str(exc))):
        # CPython 3.11 and later drop the pending exception when an
        # allocation fails while they unwind out of a C call; builtins such
        # as divmod() show the same under set_nomemory.
        return "oom", ""
    if is_panic(exc):
        if len(exc.args) != 1 or not isinstance(exc.args[0], str):
            return "bad", "panic arguments %r" % (exc.args,)
        return "panic", ""
    return "bad", "unexpected exception %r" % (exc,)


def refcounts(objects):
    sys.last_type = sys.last_value = sys.last_traceback = None
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


def sweep(name):
    entry = OPS[name]
    watched = [PromptTemplate, PromptFragment, ITER_CLASS, TOK, T, F1, F2, F3]
    watched += list(entry["watched"])
    # One plain run first so that caches inside the interpreter are warm.
    if entry["prepare"]:
        entry["prepare"]()
    returned, payload = attempt(entry["call"], 1 << 30, 0)
    verdict, detail = classify(entry, returned, payload)
    del payload
    if verdict != "expected":
        report(name, "plain run", verdict, detail)
    if entry["after"]:
        entry["after"]("expected")
    common_after(entry)
    before = refcounts(watched)
    counts = {"expected": 0, "oom": 0, "panic": 0, "bad": 0}
    streak = 0
    start = 0
    while start < LIMIT:
        clean = True
        for stop in (start + 1, 0):
            if entry["prepare"]:
                entry["prepare"]()
            returned, payload = attempt(entry["call"], start, stop)
            verdict, detail = classify(entry, returned, payload)
            del payload
            counts[verdict] += 1
            if verdict == "bad":
                report(name, "start=%d stop=%d" % (start, stop), detail)
            clean = clean and verdict == "expected"
            try:
                if entry["after"]:
                    entry["after"](verdict)
                common_after(entry)
            except BaseException as exc:
                report(name, "start=%d stop=%d" % (start, stop), "afterwards:", repr(exc))
                T.fragments = ORIGINAL
                T.tokenizer = TOK
        streak = streak + 1 if clean else 0
        if streak >= STREAK:
            break
        start += 1
    else:
        report(name, "sweep did not reach the end of the operation")
    after = refcounts(watched)
    for obj, b, a in zip(watched, before, after):
        if a != b:
            report(name, "reference count of", repr(obj)[:60], "went from", b, "to", a)
    return start, counts


name = sys.argv[1]
end, counts = sweep(name)
for line in bad[:40]:
    print("BAD", line)
print("SWEEP-END", name, end, counts["expected"], counts["oom"], counts["panic"], len(bad))
'''


_FIRST_ITER_SCRIPT = r'''
mode = sys.argv[1]
t = PromptTemplate(TEXT, TOK)
assert not any(c.__name__ == "PromptFragmentIter" for c in object.__subclasses__())
failures = 0
made = None
for start in range(LIMIT):
    returned, payload = attempt(lambda: iter(t), start, start + 1 if mode == "single" else 0)
    if returned:
        made = payload
        break
    if not (isinstance(payload, MemoryError) or is_panic(payload)):
        report("first iter at", start, "raised", repr(payload))
    failures += 1
    del payload
    t.tokenizer = TOK
if made is None:
    report("iter() never succeeded")
else:
    cls = type(made)
    if (cls.__name__, cls.__module__) != ("PromptFragmentIter", "builtins"):
        report("iterator class", cls.__name__, cls.__module__)
    if shapes_of(made) != T_SHAPES:
        report("first iterator yields", shapes_of(iter(t)))
    if type(iter(t)) is not cls:
        report("a second iterator class was made")
    if shapes_of(iter(t)) != T_SHAPES:
        report("later iterator yields", shapes_of(iter(t)))
    try:
        cls()
    except TypeError as exc:
        if str(exc) != "No constructor defined":
            report("constructor message", str(exc))
    t.fragments = [PromptFragment("z")]
    if str(t) != "z":
        report("template after sweep", str(t))
for line in bad[:40]:
    print("BAD", line)
print("FIRST-ITER-END", failures, len(bad))
'''


# The first iterator is made inside the prelude of the sweeps; the
# first-iterator sweep uses a prelude without it.
_PRELUDE_WITHOUT_ITER = _SWEEP_PRELUDE.replace("ITER_CLASS = type(iter(T))\n", "")


def _child(script, *args):
    proc = subprocess.run([sys.executable, "-c", script, *args], capture_output=True,
                          text=True, timeout=600)
    return proc


def _sweep_names():
    # The names are read from the script itself so that the table has one
    # home; each op(...) registration starts a line.
    names = []
    for line in _SWEEP_BODY.splitlines():
        if line.startswith('op("'):
            names.append(line[4:line.index('"', 4)])
    return names


SWEEPS = _sweep_names()

# Operations that finish without asking the allocator for anything: the
# tokenizer is handed over as it is, and a small length is a cached int.
MAY_NOT_ALLOCATE = {"tokenizer_get", "tokenizer_set", "len"}


def test_sweep_table_is_complete():
    assert len(SWEEPS) == len(set(SWEEPS)) >= 40
    for wanted in ("new", "fragments_get", "fragments_set_list", "tokenizer_get",
                   "tokenizer_set", "parse", "getstate", "setstate", "str", "hash", "len",
                   "subscript", "iter", "next"):
        assert wanted in SWEEPS


@pytest.mark.parametrize("name", SWEEPS)
def test_allocation_failure_sweep(name):
    proc = _child(_SWEEP_PRELUDE + _SWEEP_BODY, name)
    detail = proc.stdout + "\n--- stderr tail ---\n" + proc.stderr[-3000:]
    assert proc.returncode == 0, detail
    lines = proc.stdout.splitlines()
    assert lines and lines[-1].startswith("SWEEP-END " + name + " "), detail
    assert [line for line in lines if line.startswith("BAD")] == [], detail
    _, _, end, expected, oom, panic, bad = lines[-1].split()
    assert int(bad) == 0, detail
    assert int(expected) > 0, detail
    if name not in MAY_NOT_ALLOCATE:
        assert int(oom) + int(panic) > 0, detail


@pytest.mark.parametrize("mode", ["single", "from_start"])
def test_allocation_failure_sweep_first_iterator(mode):
    proc = _child(_PRELUDE_WITHOUT_ITER + _FIRST_ITER_SCRIPT, mode)
    detail = proc.stdout + "\n--- stderr tail ---\n" + proc.stderr[-3000:]
    assert proc.returncode == 0, detail
    lines = proc.stdout.splitlines()
    assert lines and lines[-1].startswith("FIRST-ITER-END "), detail
    assert [line for line in lines if line.startswith("BAD")] == [], detail
    _, failures, bad = lines[-1].split()
    assert int(bad) == 0
    # Making the class needs memory, so some attempts must have failed.
    assert int(failures) > 0, detail


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


# ---------------------------------------------------- reference counts

class Token:
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq:
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class RaisingSeq(Seq):
    def __getitem__(self, index):
        if index == 1:
            raise ValueError("item refused")
        return super().__getitem__(index)


class Sub(PromptTemplate):
    pass


class World:
    """Fresh objects for one reference-count check."""

    def __init__(self):
        self.tok = Token()
        self.tok2 = Token()
        self.text = "".join(["Hi [", "name|a,b] \\[x\\] [y]!"])
        self.t = PromptTemplate(self.text, self.tok)
        self.f1 = PromptFragment("p")
        self.f2 = PromptFragment("q", [])
        self.f3 = PromptFragment("r", ["s", "t"])
        self.frag_list = [self.f1, self.f2, self.f3]
        self.frag_tuple = (self.f1, self.f2)
        self.bad_list = [self.f1, 5]
        self.seq = Seq(self.frag_list)
        self.raising_seq = RaisingSeq(self.frag_list)
        self.other = PromptTemplate("o[p|q]", self.tok2)
        self.state = {"template": self.text}
        self.partial_state = {"template": self.text, 1: 2}
        self.list_state = [("template", self.text)]
        self.index = Index(1)
        self.writing_key = _ActionIndex(lambda: setattr(self.t, "fragments", self.frag_list))
        self.iter_class = type(iter(self.t))
        self.data = pickle.dumps(self.t)

    def watched(self):
        return {name: value for name, value in vars(self).items()} | {
            "PromptTemplate": PromptTemplate, "PromptFragment": PromptFragment,
            "Sub": Sub, "Token": Token,
        }


class _ActionIndex:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 0


def _drain(w):
    it = iter(w.t)
    while True:
        try:
            next(it)
        except StopIteration:
            break
    next(it, None)


def _swap_tokenizer(w):
    w.t.tokenizer = w.tok2
    w.t.tokenizer = w.tok


def _set_and_restore(w, value):
    w.t.fragments = value
    w.t.__setstate__(w.state)


LEAK_CASES = [
    ("new", lambda w: PromptTemplate(w.text, w.tok), None),
    ("new_keywords", lambda w: PromptTemplate(template=w.text, tokenizer=w.tok), None),
    ("new_none", lambda w: PromptTemplate(None, w.tok), None),
    ("new_subclass", lambda w: Sub(w.text, w.tok), None),
    ("new_bad_template", lambda w: PromptTemplate(5, w.tok), TypeError),
    ("new_list_template", lambda w: PromptTemplate(w.frag_list, w.tok), TypeError),
    ("new_missing", lambda w: PromptTemplate(w.text), TypeError),
    ("new_too_many", lambda w: PromptTemplate(w.text, w.tok, w.tok2), TypeError),
    ("new_unexpected_keyword", lambda w: PromptTemplate(w.text, w.tok, x=w.tok2), TypeError),
    ("new_twice", lambda w: PromptTemplate(w.text, w.tok, template=w.text), TypeError),
    ("new_surrogate", lambda w: PromptTemplate("a\ud800", w.tok), UnicodeEncodeError),
    ("tokenizer_get", lambda w: w.t.tokenizer, None),
    ("tokenizer_set", _swap_tokenizer, None),
    ("tokenizer_delete", lambda w: delattr(w.t, "tokenizer"), AttributeError),
    ("fragments_get", lambda w: w.t.fragments, None),
    ("fragments_set_list", lambda w: _set_and_restore(w, w.frag_list), None),
    ("fragments_set_tuple", lambda w: _set_and_restore(w, w.frag_tuple), None),
    ("fragments_set_template", lambda w: _set_and_restore(w, w.other), None),
    ("fragments_set_sequence", lambda w: _set_and_restore(w, w.seq), None),
    ("fragments_set_bad_item", lambda w: setattr(w.t, "fragments", w.bad_list), TypeError),
    ("fragments_set_not_sequence", lambda w: setattr(w.t, "fragments", w.tok), TypeError),
    ("fragments_set_raising", lambda w: setattr(w.t, "fragments", w.raising_seq), ValueError),
    ("fragments_set_itself", lambda w: setattr(w.t, "fragments", w.t), RuntimeError),
    ("fragments_delete", lambda w: delattr(w.t, "fragments"), AttributeError),
    ("parse", lambda w: PromptTemplate.parse(w.text), None),
    ("parse_bad", lambda w: w.t.parse(w.tok), TypeError),
    ("getstate", lambda w: w.t.__getstate__(), None),
    ("getstate_bad", lambda w: w.t.__getstate__(w.tok), TypeError),
    ("setstate", lambda w: w.t.__setstate__(w.state), None),
    ("setstate_keyword", lambda w: w.t.__setstate__(state=w.state), None),
    ("setstate_partial", lambda w: w.t.__setstate__(w.partial_state), TypeError),
    ("setstate_not_dict", lambda w: w.t.__setstate__(w.list_state), TypeError),
    ("setstate_missing", lambda w: w.t.__setstate__(), TypeError),
    ("str", lambda w: str(w.t), None),
    ("repr", lambda w: repr(w.t), None),
    ("hash", lambda w: hash(w.t), None),
    ("len", lambda w: len(w.t), None),
    ("subscript", lambda w: w.t[2], None),
    ("subscript_index_object", lambda w: w.t[w.index], None),
    ("subscript_sequence_item", lambda w: sequence_getitem(w.t, 1), None),
    ("subscript_out_of_range", lambda w: w.t[99], IndexError),
    ("subscript_negative", lambda w: w.t[-1], OverflowError),
    ("subscript_not_index", lambda w: w.t[w.tok], TypeError),
    ("subscript_reentrant", lambda w: w.t[w.writing_key], RuntimeError),
    ("iter", lambda w: iter(w.t), None),
    ("iterate_to_end", _drain, None),
    ("contains", lambda w: w.f1 in w.t, None),
    ("iter_no_constructor", lambda w: w.iter_class(), TypeError),
    ("pickle_dumps", lambda w: pickle.dumps(w.t), None),
    ("pickle_loads", lambda w: pickle.loads(w.data), TypeError),
    ("copy", lambda w: copy.copy(w.t), TypeError),
    ("deepcopy", lambda w: copy.deepcopy(w.t), TypeError),
]


def _counts(objects):
    gc.collect()
    return {name: sys.getrefcount(value) for name, value in objects.items()}


@pytest.mark.parametrize("call, exc_type", [c[1:] for c in LEAK_CASES],
                         ids=[c[0] for c in LEAK_CASES])
def test_reference_counts_after_many_calls(call, exc_type):
    w = World()
    watched = w.watched()

    catch = () if exc_type is None else exc_type

    def run():
        raised = False
        try:
            call(w)
        except catch:
            raised = True
        assert raised == (exc_type is not None)

    for _ in range(3):
        run()
    before = _counts(watched)
    for _ in range(300):
        run()
    after = _counts(watched)
    changed = {name: (before[name], after[name]) for name in before
               if before[name] != after[name]}
    assert changed == {}
    # And everything still works.
    w.t.tokenizer = w.tok2
    w.t.fragments = w.frag_list
    assert [f.string for f in w.t] == ["p", "q", "r"]


def test_tokenizer_count_returns_after_templates_freed():
    tok = Token()
    base = sys.getrefcount(tok)
    for cls in (PromptTemplate, Sub):
        made = [cls("a[b]", tok) for _ in range(100)]
        assert sys.getrefcount(tok) == base + 100
        for t in made[::2]:
            t.tokenizer = None
        assert sys.getrefcount(tok) == base + 50
        del made, t
        assert sys.getrefcount(tok) == base
