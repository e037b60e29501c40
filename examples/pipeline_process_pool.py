"""Templates in ``concurrent.futures.ProcessPoolExecutor``, and what must pickle.

A pool with the "spawn" start method (the default on macOS and Windows, and
on Linux from Python 3.14 "forkserver", which pickles the same way) sends
each task by pickle to fresh interpreters. Everything a task carries must
pickle by reference or by value:

* a template pickles with its exact fragments and its tokenizer, and to
  the same bytes in every process and on every Python version (pickle
  protocol 5, dill and cloudpickle alike), so its pickle can serve as a key;
* the tokenizer must be picklable too: a ``lambda`` is not, while a
  function defined at the top level of an importable module is. A template
  passed as a task's argument is pickled on every start method, "fork"
  included, so a lambda tokenizer fails there in any pool; only the
  initializer's arguments of a "fork" pool reach the workers unpickled (the
  child is a copy of the parent), so there it works;
* the worker imports the functions it runs by name, so a function defined
  only under ``if __name__ == "__main__":`` cannot be found there.

Checked here: ids and digests from the workers are those of this process;
a template with a lambda tokenizer is refused by pickle (cloudpickle takes
it by value), fails as a task's argument of a fork pool and works as its
initializer's argument.

Needs ``tokenizers``, ``dill`` and ``cloudpickle``
(``python -m pip install tokenizers dill cloudpickle``).
"""

# The engines ship no type information (the imports say so); the calls of
# frasolet stay strictly typed.
# mypy: allow-untyped-calls, allow-untyped-decorators, allow-subclassing-any

from __future__ import annotations

import hashlib
import multiprocessing
import pickle
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor

import cloudpickle  # type: ignore[import-untyped, import-not-found, unused-ignore]
import dill  # type: ignore[import-untyped, import-not-found, unused-ignore]
from tokenizer_pipeline import SAMPLE_ROWS, TEMPLATE, encode, train_tokenizer
from tokenizers import Tokenizer

import frasolet

ROWS = SAMPLE_ROWS

TIMEOUT = 120  # seconds: a worker that dies is an error, not a hang

# Built once per worker by the pool's initializer.
worker_template: frasolet.PromptTemplate[Tokenizer] | None = None


def start_worker(tokenizer: Tokenizer) -> None:
    global worker_template
    worker_template = frasolet.PromptTemplate(TEMPLATE, tokenizer)


def encode_in_worker(row: dict[str, str]) -> list[int]:
    assert worker_template is not None
    return encode(worker_template, row).input_ids


Splitter = Callable[[str], list[str]]
# A template whose tokenizer is a lambda, given to a fork pool's initializer.
kept_template: frasolet.PromptTemplate[Splitter] | None = None


def keep_template(template: frasolet.PromptTemplate[Splitter]) -> None:
    global kept_template
    kept_template = template


def split_with_kept(text: str) -> list[str]:
    assert kept_template is not None
    return kept_template.tokenizer(text)


def split_with(template: frasolet.PromptTemplate[Splitter], text: str) -> list[str]:
    return template.tokenizer(text)


def lambda_in_a_fork_pool() -> None:
    """A lambda tokenizer in a "fork" pool: the initializer's argument is
    not pickled, a task's argument is."""
    with_lambda = frasolet.PromptTemplate(TEMPLATE, lambda text: text.split())
    fork = multiprocessing.get_context("fork")
    with ProcessPoolExecutor(
        1, mp_context=fork, initializer=keep_template, initargs=(with_lambda,)
    ) as pool:
        assert pool.submit(split_with_kept, "a b").result(TIMEOUT) == ["a", "b"]
        try:
            pool.submit(split_with, with_lambda, "a b").result(TIMEOUT)
        except (pickle.PicklingError, AttributeError) as error:
            print(f"fork pool: a lambda tokenizer works in initargs, fails as a task "
                  f"argument: {type(error).__name__}")
        else:
            raise AssertionError("a template with a lambda tokenizer was sent with a task")


def digests(template: frasolet.PromptTemplate[Tokenizer]) -> dict[str, str | int]:
    """The hash of ``template`` and the digests of its three pickles."""
    return {
        "hash": hash(template),
        "pickle": hashlib.sha256(pickle.dumps(template, protocol=5)).hexdigest(),
        "dill": hashlib.sha256(dill.dumps(template, protocol=5)).hexdigest(),
        "cloudpickle": hashlib.sha256(cloudpickle.dumps(template, protocol=5)).hexdigest(),
    }


def main() -> None:
    # First, while this process has no thread yet (fork copies only the
    # calling thread; the tokenizer's training starts others).
    if "fork" in multiprocessing.get_all_start_methods():
        lambda_in_a_fork_pool()
    tokenizer = train_tokenizer()
    template = frasolet.PromptTemplate(TEMPLATE, tokenizer)
    expected = [encode(template, row).input_ids for row in ROWS]
    here = digests(template)
    spawn = multiprocessing.get_context("spawn")

    with ProcessPoolExecutor(
        2, mp_context=spawn, initializer=start_worker, initargs=(tokenizer,)
    ) as pool:
        assert list(pool.map(encode_in_worker, ROWS, timeout=TIMEOUT)) == expected
        there = [pool.submit(digests, template).result(TIMEOUT) for _ in range(2)]
    assert there == [here] * 2, f"the workers saw {there}, this process {here}"
    print(f"built once per worker: {len(expected)} rows, the ids of this process")
    print(
        "hash {hash}, pickle {pickle:.16}, dill {dill:.16}, cloudpickle {cloudpickle:.16}: "
        "the same in the workers".format(**here)
    )

    with_lambda = frasolet.PromptTemplate(TEMPLATE, lambda text: text.split())
    try:
        pickle.dumps(with_lambda)
    except (pickle.PicklingError, AttributeError) as error:
        print(f"a lambda tokenizer does not pickle: {type(error).__name__}")
    else:
        raise AssertionError("a template with a lambda tokenizer pickled")
    back = cloudpickle.loads(cloudpickle.dumps(with_lambda))
    assert back.tokenizer("a b") == ["a", "b"]


if __name__ == "__main__":
    main()
