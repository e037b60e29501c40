"""Allocation-failure sweeps over the operations of the module, one per child interpreter.

    python fault_harness.py sweep <operation>
    python fault_harness.py first-iterator <single|tail>

``_testcapi.set_nomemory(start, stop)`` lets the first ``start`` allocations
succeed; with ``stop`` = ``start`` + 1 only the next one fails ("single"
mode), with ``stop`` 0 every later one fails ("tail" mode).  A sweep runs the
operation in both modes for ``start`` = 0, 1, 2, ...  The first ``start`` at
which the tail run gives the normal outcome is past the operation's last
allocation: every later tail run must give it too, and the sweep goes on
``MARGIN`` points beyond it and until ``STREAK`` points in a row were clean in
both modes.

Every run must give the operation's normal outcome, or raise MemoryError or
the internal-fault exception (never for an instance that could not be
allocated: that is a MemoryError); afterwards the objects must hold either the old
or the new value, work normally again, and no reference may be left behind.
What goes wrong is printed as ``BAD`` lines; the last line is ``SWEEP-END``
or ``FIRST-ITER-END`` with a JSON summary that the tests read.

The operations are the table ``OPERATIONS`` below; the tests parametrize over
its names.
"""

import copy
import copyreg
import dataclasses
import gc
import json
import pickle
import re
import sys
from typing import Any, Callable, Optional

import _testcapi

import frasolet
from frasolet import PromptFragment, PromptTemplate
from support import ActionIndex, Index, Seq, Token, fields, sequence_getitem, shapes, shapes_of

LIMIT = 20000
MARGIN = 25
STREAK = 8
MODES = {"single": lambda start: start + 1, "tail": lambda start: 0}

bad = []


def report(*parts):
    bad.append(" ".join(str(p) for p in parts))


# ------------------------------------------------------------ running one attempt

def attempt(call, start, stop):
    """``(returned, value or exception)`` of ``call()`` under ``set_nomemory(start, stop)``."""
    _testcapi.set_nomemory(start, stop)
    try:
        value = call()
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        return False, exc
    _testcapi.remove_mem_hooks()
    return True, value


def is_panic(exc):
    cls = type(exc)
    return (cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime"
            and issubclass(cls, BaseException) and not issubclass(cls, Exception))


panic_classes = set()
panic_messages = set()


def panic_problem(exc):
    """What is wrong with a raised internal-fault exception, or None."""
    cls = type(exc)
    panic_classes.add(cls)
    if cls.__bases__ != (BaseException,):
        return "panic class bases %r" % (cls.__mro__,)
    doc = cls.__doc__
    if not (isinstance(doc, str) and doc.startswith("\n") and doc.endswith("\n")
            and "\n\n" in doc.strip("\n")):
        return "panic class doc %r" % (doc,)
    if len(exc.args) != 1 or type(exc.args[0]) is not str or not exc.args[0]:
        return "panic arguments %r" % (exc.args,)
    if exc.args[0].startswith("could not allocate"):
        # An instance the interpreter cannot allocate is its MemoryError.
        return "allocation reported as an internal fault: %r" % (exc.args[0],)
    panic_messages.add(exc.args[0])
    return None


def unnamed(message):
    return re.sub(r"'[^']*' object cannot be converted",
                  "'<failed to extract type name>' object cannot be converted", message)


def chain(exc):
    seen = []
    while exc is not None and exc not in seen:
        seen.append(exc)
        exc = exc.__context__ if exc.__cause__ is None else exc.__cause__
    return seen


def checked(entry, outcome, wrong):
    """The verdict on a normal result or expected exception, after the operation's check."""
    if entry.check is not None:
        try:
            entry.check(outcome)
        except BaseException as exc:
            return "bad", "%s %r: %r" % (wrong, outcome, exc)
    return "expected", ""


def classify(entry, returned, payload):
    """``(verdict, detail)``: verdict is expected, oom, lost, panic or bad."""
    expected = entry.expected
    if returned:
        if expected is not None:
            return "bad", "returned %r instead of raising %r" % (payload, expected)
        return checked(entry, payload, "wrong result")
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
        return checked(entry, exc, "wrong exception")
    if isinstance(exc, MemoryError):
        allowed = (MemoryError,) + tuple(entry.extra) + ((expected[0],) if expected else ())
        for link in chain(exc):
            if is_panic(link):
                problem = panic_problem(link)
                if problem:
                    return "bad", problem
            elif not isinstance(link, allowed):
                return "bad", "MemoryError raised over %r" % (link,)
        return "oom", ""
    if (sys.version_info >= (3, 11) and type(exc) is SystemError
            and ("error return without exception set" in str(exc)
                 or "returned NULL without setting an exception" in str(exc))):
        # CPython 3.11 and later drop the pending exception when an
        # allocation fails while they unwind out of a C call; builtins such
        # as divmod() show the same under set_nomemory.  Only a call that
        # raises on its way has an exception to lose.
        if expected is None and not entry.extra:
            return "bad", "exception lost in a call that raises none: %r" % (exc,)
        return "lost", ""
    if is_panic(exc):
        problem = panic_problem(exc)
        return ("bad", problem) if problem else ("panic", "")
    return "bad", "unexpected exception %r" % (exc,)


# ------------------------------------------------------------ the objects the operations use

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

# Texts longer than a short-string buffer, so that the native side allocates.
NAME = "a mask name that is long enough"
FIRST = "the first option, long enough"
SECOND = "the second option, long enough"
FRAGMENT = PromptFragment(NAME, [FIRST, SECOND])
PARSE_TEXT = "".join(["Hello there, this is a long text [a long mask name|first long option,",
                      "second long option] and [x] or [col|red#green,blue] \\[escaped text\\] [y|z]!"])
PARSE_SHAPES = [("Hello there, this is a long text ", None),
                ("a long mask name", ["first long option", "second long option"]),
                (" and ", None), ("x", []), (" or ", None), ("col", ["red", "green", "blue"]),
                (" [escaped text] ", None), ("y", ["z"]), ("!", None)]
OPTIONS = [FIRST, SECOND, "third"]
OLD_NAME = "the old name, long enough too"
OLD_OPTIONS = ["the old option, long enough"]
FRAGMENT_STATE = {"string": "a new name, long enough to allocate",
                  "options": ["new option one, long enough", "p"]}


class Sub(PromptTemplate):
    pass


# The class of the iterators, made by warm_up(): the first-iterator sweep
# needs it unmade.
ITER_CLASS = None

# What an operation prepared outside the failing window, for its checks.
current = {}


def warm_up(make_iterator=True):
    """Make the lazily created objects before any allocation is refused."""
    global ITER_CLASS
    # A fetched error creates the class of internal faults.
    for fail in (lambda: frasolet.parse("\ud800"), lambda: T["warm"],
                 lambda: setattr(T, "fragments", Seq([F1, 5]))):
        try:
            fail()
        except (UnicodeEncodeError, TypeError):
            pass
    if make_iterator:
        ITER_CLASS = type(iter(T))


# ------------------------------------------------------------ the table

@dataclasses.dataclass
class Operation:
    call: Callable[[], Any]
    # (exception class, message or None) that the normal outcome raises.
    expected: Optional[tuple] = None
    # Checks a normal result, or the expected exception.
    check: Optional[Callable[[Any], None]] = None
    # Runs before every call, outside the failing window.
    prepare: Optional[Callable[[], None]] = None
    # Checks (and restores) the objects after every call, given the verdict.
    after: Optional[Callable[[str], None]] = None
    # The call changes T, so common_after() does not compare it.
    changes: bool = False
    # Exceptions the call raises and handles on its way: they may stand in
    # the chain of a MemoryError, or be lost as the expected one may.
    extra: tuple = ()
    # Objects whose reference counts must be the same after the sweep.
    watched: tuple = ()
    # The call must make new Python objects, so that a refused allocation has
    # to be reported as an internal fault in single mode.
    must_panic: bool = False
    # The call may finish without asking the allocator for anything.
    may_not_allocate: bool = False


OPERATIONS = {}


def op(name, call, **options):
    assert name not in OPERATIONS, name
    OPERATIONS[name] = Operation(call, **options)


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
        assert fields(value) == shape, fields(value)
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


# Module function.
op("parse", lambda: frasolet.parse(PARSE_TEXT), check=returns_fragments(PARSE_SHAPES),
   watched=(PARSE_TEXT,), must_panic=True)


# PromptFragment.
def constructed(value):
    assert type(value) is PromptFragment
    assert fields(value) == (NAME, [FIRST, SECOND, "third"])
    assert str(value) == f"[{NAME}|{FIRST},{SECOND},third]"


def options_kept(verdict):
    assert OPTIONS == [FIRST, SECOND, "third"]


op("fragment_new", lambda: PromptFragment(NAME, OPTIONS), check=constructed,
   after=options_kept, watched=(NAME, OPTIONS, FIRST, SECOND))


def fragment_unchanged(verdict):
    assert fields(FRAGMENT) == (NAME, [FIRST, SECOND])
    FRAGMENT.string = NAME


def fragment_reader(name, call, expected, cls, must_panic=True):
    op(name, call, check=equal_to(expected, cls), after=fragment_unchanged,
       watched=(FRAGMENT,), must_panic=must_panic)


fragment_reader("fragment_string_get", lambda: FRAGMENT.string, NAME, str)
fragment_reader("fragment_options_get", lambda: FRAGMENT.options, [FIRST, SECOND], list)
fragment_reader("fragment_str", lambda: str(FRAGMENT), f"[{NAME}|{FIRST},{SECOND}]", str)
fragment_reader("fragment_repr", lambda: repr(FRAGMENT), f"[{NAME}]", str)
fragment_reader("fragment_hash", lambda: hash(FRAGMENT), hash(FRAGMENT), int, must_panic=False)
fragment_reader("fragment_getstate", lambda: FRAGMENT.__getstate__(),
                {"string": NAME, "options": [FIRST, SECOND]}, dict)


def old_fragment():
    current["fragment"] = PromptFragment(OLD_NAME, OLD_OPTIONS)


def fragment_state_after(verdict):
    fragment = current.pop("fragment")
    old = (OLD_NAME, OLD_OPTIONS)
    new = (FRAGMENT_STATE["string"], FRAGMENT_STATE["options"])
    if verdict == "expected":
        assert fragment.__getstate__() == FRAGMENT_STATE
    else:
        # Fields already replaced stay replaced; the others keep the old value.
        assert fields(fragment) in [old, (new[0], old[1]), new]
    assert FRAGMENT_STATE == {"string": "a new name, long enough to allocate",
                              "options": ["new option one, long enough", "p"]}
    fragment.string = "usable"
    assert str(fragment).startswith("[usable|")


op("fragment_setstate", lambda: current["fragment"].__setstate__(FRAGMENT_STATE),
   prepare=old_fragment, check=is_(None), after=fragment_state_after, watched=(FRAGMENT_STATE,))

OPTIONS_VALUE = (FIRST, SECOND)


def fragment_options_after(verdict):
    fragment = current.pop("fragment")
    if verdict == "expected":
        assert fragment.options == [FIRST, SECOND]
    else:
        assert fragment.options == OLD_OPTIONS
    fragment.options = ["usable"]


op("fragment_options_set", lambda: setattr(current["fragment"], "options", OPTIONS_VALUE),
   prepare=old_fragment, check=is_(None), after=fragment_options_after,
   watched=(OPTIONS_VALUE, FIRST, SECOND))


# PromptTemplate.
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

op("template_new", lambda: PromptTemplate(TEXT, TOK),
   check=returns_template(PromptTemplate, T_SHAPES, TOK), watched=(TOK, TEXT))
op("template_new_keywords", lambda: PromptTemplate(tokenizer=TOK, template=TEXT),
   check=returns_template(PromptTemplate, T_SHAPES, TOK), watched=(TOK, TEXT))
op("template_new_none", lambda: PromptTemplate(None, TOK),
   check=returns_template(PromptTemplate, [], TOK), watched=(TOK,))
op("template_new_subclass", lambda: Sub(TEXT, TOK),
   check=returns_template(Sub, T_SHAPES, TOK), watched=(TOK, TEXT, Sub))
op("template_new_bad_template", lambda: PromptTemplate(5, TOK), expected=(TypeError, NOT_STR),
   watched=(TOK,))
op("template_new_missing", lambda: PromptTemplate(TEXT), watched=(TEXT,),
   expected=(TypeError, "PromptTemplate.__new__() missing 1 required positional argument: "
                        "'tokenizer'"))
op("template_new_unexpected_keyword", lambda: PromptTemplate(TEXT, TOK, bogus=1),
   watched=(TOK, TEXT),
   expected=(TypeError, "PromptTemplate.__new__() got an unexpected keyword argument 'bogus'"))

op("template_fragments_get", lambda: T.fragments, check=returns_fragments(T_SHAPES))
op("template_fragments_set_list", lambda: setattr(T, "fragments", NEW_LIST), changes=True,
   after=fragments_now_old_or_new, watched=(NEW_LIST, F1, F2, F3))
op("template_fragments_set_tuple", lambda: setattr(T, "fragments", NEW_TUPLE), changes=True,
   after=fragments_now_old_or_new, watched=(NEW_TUPLE, F1, F2, F3))
op("template_fragments_set_template", lambda: setattr(T, "fragments", NEW_TEMPLATE),
   changes=True, after=fragments_now_old_or_new, watched=(NEW_TEMPLATE,))
op("template_fragments_set_user_sequence", lambda: setattr(T, "fragments", NEW_SEQ),
   changes=True, after=fragments_now_old_or_new, watched=(NEW_SEQ, F1, F2, F3),
   extra=(IndexError,))


def emptied_or_old(verdict):
    now = shapes(T)
    assert now == [] if verdict == "expected" else now in ([], T_SHAPES), now
    T.fragments = ORIGINAL


op("template_fragments_set_empty_str", lambda: setattr(T, "fragments", ""), changes=True,
   after=emptied_or_old)
op("template_fragments_set_bad_item", lambda: setattr(T, "fragments", [F1, F2, 5]),
   expected=(TypeError, "'int' object cannot be converted to 'PromptFragment'"),
   after=fragments_unchanged, watched=(F1, F2))
op("template_fragments_set_not_sequence", lambda: setattr(T, "fragments", 5),
   expected=(TypeError, "'int' object cannot be converted to 'Sequence'"),
   after=fragments_unchanged)
op("template_fragments_set_itself", lambda: setattr(T, "fragments", T),
   expected=(RuntimeError, "Already mutably borrowed"), after=fragments_unchanged)
op("template_fragments_delete", lambda: delattr(T, "fragments"),
   expected=(AttributeError, "can't delete attribute"), after=fragments_unchanged)

# The tokenizer is handed over as it is: no allocation needed.
op("template_tokenizer_get", lambda: T.tokenizer, check=is_(TOK), may_not_allocate=True)


def tokenizer_after(verdict):
    now = T.tokenizer
    if verdict == "expected":
        assert now is TOK2
    else:
        assert now is TOK or now is TOK2
    T.tokenizer = TOK


op("template_tokenizer_set", lambda: setattr(T, "tokenizer", TOK2), after=tokenizer_after,
   changes=True, watched=(TOK, TOK2), may_not_allocate=True)
op("template_tokenizer_delete", lambda: delattr(T, "tokenizer"),
   expected=(AttributeError, "can't delete attribute"))

op("template_parse", lambda: PromptTemplate.parse(TEXT), check=returns_fragments(T_SHAPES),
   watched=(TEXT,))
op("template_parse_through_instance", lambda: T.parse(template=TEXT),
   check=returns_fragments(T_SHAPES), watched=(TEXT,))
op("template_parse_bad", lambda: PromptTemplate.parse(5), expected=(TypeError, NOT_STR))

op("template_getstate", lambda: T.__getstate__(), check=equal_to({"template": T_STR}, dict))
op("template_getstate_bad", lambda: T.__getstate__(1),
   expected=(TypeError, "PromptTemplate.__getstate__() takes 0 positional arguments but 1 "
                        "was given"))
op("template_setstate", lambda: T.__setstate__(STATE_NEW), changes=True, check=is_(None),
   after=fragments_now_old_or_new, watched=(STATE_NEW, NEW_TEXT))
op("template_setstate_partial", lambda: T.__setstate__(STATE_PARTIAL), changes=True,
   expected=(TypeError, "'int' object cannot be converted to 'PyString'"),
   after=fragments_now_old_or_new, watched=(STATE_PARTIAL, NEW_TEXT))
op("template_setstate_not_dict", lambda: T.__setstate__([]),
   expected=(TypeError, "'list' object cannot be converted to 'PyDict'"),
   after=fragments_unchanged)

def tokenizer_pair_after(verdict):
    # Fragments and tokenizer are replaced together, or neither is.
    now = (shapes(T), T.tokenizer)
    if verdict == "expected":
        assert now == (NEW_SHAPES, TOK2), now
    else:
        assert now in ((T_SHAPES, TOK), (NEW_SHAPES, TOK2)), now
    T.fragments = ORIGINAL
    T.tokenizer = TOK


STATE_TUPLE = (NEW_LIST, TOK2)
op("template_setstate_tuple", lambda: T.__setstate__(STATE_TUPLE), changes=True,
   check=is_(None), after=tokenizer_pair_after, watched=(STATE_TUPLE, NEW_LIST, TOK2))


def reduced(value):
    make_empty, arguments, (fragments, tokenizer) = value
    assert make_empty is copyreg.__newobj__ and arguments == (PromptTemplate, None, None)
    assert shapes_of(fragments) == T_SHAPES and tokenizer is TOK


def copied_with(tokenizer_check):
    def check(value):
        assert type(value) is PromptTemplate and value is not T
        assert shapes(value) == T_SHAPES, shapes(value)
        assert tokenizer_check(value.tokenizer)
        value.fragments = NEW_LIST
    return check


op("template_reduce", lambda: T.__reduce__(), check=reduced)
op("template_copy", lambda: copy.copy(T), check=copied_with(lambda tok: tok is TOK))
# No deep copy here: under refused allocations the copy module's own Python
# code can bring the interpreter down while it normalises a MemoryError.
op("template_pickle_round_trip", lambda: pickle.loads(pickle.dumps(T)),
   check=copied_with(lambda tok: type(tok) is Token and tok is not TOK))

op("template_str", lambda: str(T), check=equal_to(T_STR, str))
op("template_repr", lambda: repr(T), check=equal_to(T_STR, str))
op("template_hash", lambda: hash(T), check=equal_to(T_HASH, int))
# A small length is a cached int.
op("template_len", lambda: len(T), check=equal_to(len(T_SHAPES), int), may_not_allocate=True)

INDEX = Index(3)
op("template_subscript", lambda: T[1], check=fragment_like(T_SHAPES[1]))
op("template_subscript_index_object", lambda: T[INDEX], watched=(INDEX,),
   check=fragment_like(T_SHAPES[3]))
op("template_subscript_sequence_item", lambda: sequence_getitem(T, 4),
   check=fragment_like(T_SHAPES[4]))
op("template_subscript_out_of_range", lambda: T[100],
   expected=(IndexError, "PromptTemplate index out of range"))
op("template_subscript_negative", lambda: T[-1], expected=(OverflowError, None))
op("template_subscript_str", lambda: T["1"], expected=(TypeError, None))
WRITING_KEY = ActionIndex(lambda: setattr(T, "fragments", NEW_LIST), 0)
op("template_subscript_reentrant", lambda: T[WRITING_KEY],
   expected=(RuntimeError, "Already borrowed"), after=fragments_unchanged,
   watched=(WRITING_KEY, NEW_LIST))


# PromptFragmentIter.
def iter_check(value):
    assert type(value) is ITER_CLASS
    assert iter(value) is value
    assert shapes_of(value) == T_SHAPES


op("template_iter", lambda: iter(T), check=iter_check)
op("template_list", lambda: list(T), check=returns_fragments(T_SHAPES))


def fresh_iterator():
    current["it"] = iter(T)


def next_after(verdict):
    rest = shapes_of(current.pop("it"))
    if verdict == "expected":
        assert rest == T_SHAPES[1:], rest
    else:
        assert rest in (T_SHAPES[1:], T_SHAPES), rest


op("iterator_next", lambda: next(current["it"]), prepare=fresh_iterator,
   check=fragment_like(T_SHAPES[0]), after=next_after)


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


op("iterator_next_last", lambda: next(current["it"]), prepare=last_iterator,
   check=fragment_like(T_SHAPES[-1]), after=last_after)


def exhausted_iterator():
    it = iter(PromptTemplate("a", None))
    next(it)
    current["it"] = it


def stop_check(exc):
    assert exc.value is None and exc.args == (None,), exc.args


def exhausted_after(verdict):
    assert next(current.pop("it"), None) is None


op("iterator_next_exhausted", lambda: next(current["it"]), prepare=exhausted_iterator,
   expected=(StopIteration, None), check=stop_check, after=exhausted_after)
op("iterator_no_constructor", lambda: ITER_CLASS(),
   expected=(TypeError, "No constructor defined"))


# ------------------------------------------------------------ the sweeps

def common_after(entry):
    # Borrow flags must all be clear again: the writers prove it.
    if not entry.changes:
        assert shapes(T) == T_SHAPES, shapes(T)
        assert T.tokenizer is TOK
    T.tokenizer = TOK
    T.fragments = ORIGINAL
    for f in (F1, F2, F3):
        f.string = f.string
        f.options = f.options
    NEW_TEMPLATE.tokenizer = None


def refcounts(objects):
    sys.last_type = sys.last_value = sys.last_traceback = None
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


# The module keeps the blocks of a few released fragments and iterators for
# the next ones it makes (at most 32 of each); a call that took one would skip
# the allocation a sweep must refuse. Holding more of both than that empties
# those caches before every attempt.
CACHE_EMPTIER = PromptTemplate("[held]" * 64, None)


def hold_cached_blocks():
    return list(CACHE_EMPTIER), [iter(CACHE_EMPTIER) for _ in range(64)]


def run_once(name, entry, where, start, stop):
    """One prepared call and its checks; returns the verdict."""
    if entry.prepare:
        entry.prepare()
    held = hold_cached_blocks()
    returned, payload = attempt(entry.call, start, stop)
    del held
    verdict, detail = classify(entry, returned, payload)
    del payload
    if verdict == "bad":
        report(name, where, detail)
    try:
        if entry.after:
            entry.after(verdict)
        common_after(entry)
    except BaseException as exc:
        report(name, where, "afterwards:", repr(exc))
        T.fragments = ORIGINAL
        T.tokenizer = TOK
        current.clear()
    return verdict


def sweep(name):
    entry = OPERATIONS[name]
    watched = [PromptTemplate, PromptFragment, ITER_CLASS, TOK, T, F1, F2, F3]
    watched += list(entry.watched)
    # Plain runs first, under hooks that never refuse, so that caches inside
    # the interpreter are warm.
    for _ in range(3):
        verdict = run_once(name, entry, "plain run", 1 << 30, 0)
        if verdict != "expected":
            report(name, "plain run gave", verdict)
    before = refcounts(watched)
    counts = {mode: {"expected": 0, "oom": 0, "lost": 0, "panic": 0, "bad": 0} for mode in MODES}
    first_ok = None
    streak = 0
    start = 0
    while True:
        clean = True
        for mode, stop_of in MODES.items():
            where = "%s start=%d" % (mode, start)
            verdict = run_once(name, entry, where, start, stop_of(start))
            counts[mode][verdict] += 1
            clean = clean and verdict == "expected"
            if mode == "tail":
                if verdict == "expected" and first_ok is None:
                    first_ok = start
                elif first_ok is not None and verdict != "expected":
                    report(name, where, "tail run gave", verdict, "after succeeding at", first_ok)
            # The objects involved must be fully usable again.
            if run_once(name, entry, where + " then plain", 1 << 30, 0) != "expected":
                report(name, where, "the plain run afterwards failed")
        streak = streak + 1 if clean else 0
        if first_ok is not None and start >= first_ok + MARGIN and streak >= STREAK:
            break
        start += 1
        if start >= LIMIT:
            report(name, "sweep did not reach the end of the operation")
            break
    after = refcounts(watched)
    for obj, b, a in zip(watched, before, after):
        if a != b:
            report(name, "reference count of", repr(obj)[:60], "went from", b, "to", a)
    if hasattr(frasolet, "PanicException"):
        report(name, "the internal-fault class became a module attribute")
    return {"end": start, "allocations": first_ok, "counts": counts,
            "panic_classes": len(panic_classes), "panic_messages": sorted(panic_messages)}


def first_iterator(mode):
    """iter() while its class is made, under failures; the class must come out whole."""
    t = PromptTemplate(TEXT, TOK)
    if any(c.__name__ == "PromptFragmentIter" for c in object.__subclasses__()):
        report("the iterator class was made before the sweep")
    failures = 0
    made = None
    for start in range(LIMIT):
        returned, payload = attempt(lambda: iter(t), start, MODES[mode](start))
        if returned:
            made = payload
            break
        if is_panic(payload):
            problem = panic_problem(payload)
            if problem:
                report("first iter at", start, problem)
        elif not isinstance(payload, MemoryError):
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
        else:
            report("the iterator class has a constructor")
        t.fragments = [PromptFragment("z")]
        if str(t) != "z":
            report("template after sweep", str(t))
    return {"failures": failures, "panic_classes": len(panic_classes),
            "panic_messages": sorted(panic_messages)}


def main(argv):
    command, argument = argv
    if command == "sweep":
        warm_up()
        summary, end = sweep(argument), "SWEEP-END"
    elif command == "first-iterator":
        warm_up(make_iterator=False)
        summary, end = first_iterator(argument), "FIRST-ITER-END"
    else:
        raise SystemExit("usage: fault_harness.py sweep <operation> | first-iterator <mode>")
    for line in bad[:40]:
        print("BAD", line)
    summary["bad"] = len(bad)
    print(end, json.dumps(summary))


if __name__ == "__main__":
    main(sys.argv[1:])
