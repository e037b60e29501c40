"""Shared helpers for the Python tests of the frasolet extension."""

import subprocess
import sys
import textwrap

import pytest

import frasolet

PromptFragment = frasolet.PromptFragment


def fields(fragment):
    """The two fields of a fragment as a plain tuple."""
    return fragment.string, fragment.options


def raises_exactly(exc_type, message, func, *args, **kwargs):
    """Call ``func`` and check it raises exactly ``exc_type`` with ``message``.

    The exception class must be ``exc_type`` itself, not a subclass, and its
    ``str()`` must equal ``message`` character for character.  Returns the
    exception for further checks.
    """
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    error = info.value
    assert type(error) is exc_type, f"{type(error).__name__}: {error}"
    assert str(error) == message
    assert error.args == (message,)
    return error


def run_script(source, timeout=600, env=None):
    """Run ``source`` in a fresh interpreter (the one running the tests)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )

