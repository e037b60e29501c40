"""Helpers shared by the Python tests of the frasolet extension.

Plain Python, no pytest: the allocation-failure harness imports this module
in its child interpreters too.
"""

import os
import shlex
import subprocess
import sys
import textwrap

try:
    import _testcapi
except ImportError:  # an interpreter built without the test modules
    _testcapi = None

# PySequence_GetItem as a Python callable; CPython 3.13 moved it from
# _testcapi to _testlimitedcapi.
if _testcapi is None:
    sequence_getitem = None
elif hasattr(_testcapi, "sequence_getitem"):
    sequence_getitem = _testcapi.sequence_getitem
else:
    import _testlimitedcapi

    sequence_getitem = _testlimitedcapi.sequence_getitem


# ------------------------------------------------------------ reading fields

def fields(fragment):
    """The two fields of a fragment as a plain tuple."""
    return fragment.string, fragment.options


def shapes_of(fragments):
    """``fields`` of every fragment an iterable yields."""
    return [fields(f) for f in fragments]


def shapes(template):
    """``fields`` of every fragment of a template, read through the property."""
    return shapes_of(template.fragments)


# ------------------------------------------------------------ exceptions

def raises_exactly(exc_type, message, func, *args, **kwargs):
    """Call ``func`` and check it raises exactly ``exc_type`` with ``message``.

    The exception class must be ``exc_type`` itself, not a subclass.  Unless
    ``message`` is None, its ``str()`` must equal ``message`` character for
    character and it must be the only argument.  Returns the exception for
    further checks.
    """
    try:
        func(*args, **kwargs)
    except BaseException as error:
        caught = error
    else:
        raise AssertionError(f"{func!r} raised nothing, expected {exc_type.__name__}")
    assert type(caught) is exc_type, f"{type(caught).__name__}: {caught!r}"
    if message is not None:
        assert str(caught) == message
        assert caught.args == (message,)
    return caught


def interpreter_message(exc_type, func, *args):
    """The text of the ``exc_type`` that the interpreter raises from ``func(*args)``.

    For errors of the interpreter's own protocols, which the module passes on
    unchanged: their wording differs between versions (3.15 reworded those of
    ``iter()`` and ``__index__``).
    """
    try:
        func(*args)
    except exc_type as error:
        assert type(error) is exc_type, f"{type(error).__name__}: {error!r}"
        return str(error)
    raise AssertionError(f"{func!r} raised nothing, expected {exc_type.__name__}")


# ------------------------------------------------------------ objects written in Python

class Token:
    """A stand-in tokenizer: a plain object with its own reference count."""


class Seq:
    """A user sequence: only __len__ and __getitem__, iterated the old way.

    ``length`` makes ``__len__`` lie about the number of items.
    """

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]


class RaisingSeq(Seq):
    """A user sequence whose second item cannot be read."""

    def __getitem__(self, index):
        if index == 1:
            raise ValueError("item refused")
        return super().__getitem__(index)


class Index:
    """An object read through ``__index__``; an exception as value is raised."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class ActionIndex(Index):
    """An index whose ``__index__`` runs ``action`` first."""

    def __init__(self, action, value=0):
        super().__init__(value)
        self.action = action

    def __index__(self):
        self.action()
        return super().__index__()


# ------------------------------------------------------------ child interpreters

# The command of a fresh interpreter like the one running the tests. Under
# user-mode emulation (scripts/run.sh runs the aarch64 suite so, and names the
# emulator in FRASOLET_TEST_EMULATOR) the emulator comes first: this machine
# cannot start the interpreter's binary by itself.
PYTHON = [*shlex.split(os.environ.get("FRASOLET_TEST_EMULATOR", "")), sys.executable]


def run_script(source, timeout=600, env=None):
    """Run ``source`` in a fresh interpreter (the one running the tests)."""
    return subprocess.run(
        [*PYTHON, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
