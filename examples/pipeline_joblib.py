"""Templates in joblib: the loky process pool, ``joblib.hash`` and ``joblib.Memory``.

``Parallel(backend="loky")`` sends each task with cloudpickle to a pool of
worker processes; a template goes with the task, tokenizer included.
``joblib.hash`` hashes the pickle of an object, and a template pickles to
the same bytes in every process, so its hash is the same everywhere: the
workers see the hash of this process. ``joblib.Memory`` keys its cache on
that hash, so a new process that calls the cached function with an equal
template reads the result the first process wrote.

Checked here: the workers' ids are those of this process, their
``joblib.hash`` of the template is this process's, and a new process finds
the call already in the cache. The cache lives in a temporary folder.
"""

# The engines ship no type information (the imports say so); the calls of
# frasolet stay strictly typed.
# mypy: allow-untyped-calls, allow-untyped-decorators, allow-subclassing-any

from __future__ import annotations

import subprocess
import sys
import tempfile
from typing import Any

import joblib  # type: ignore[import-untyped, import-not-found, unused-ignore]
from tokenizer_pipeline import SAMPLE_ROWS, TEMPLATE, encode, train_tokenizer
from tokenizers import Tokenizer

import frasolet

ROWS = SAMPLE_ROWS


def encode_ids(template: frasolet.PromptTemplate[Tokenizer], row: dict[str, str]) -> list[int]:
    return encode(template, row).input_ids


def cached_encoder(folder: str) -> Any:
    return joblib.Memory(folder, verbose=0).cache(encode_ids)


def main() -> None:
    if sys.argv[1:2] == ["--in-cache"]:
        # A new process: the same template, built anew, finds every call cached.
        template = frasolet.PromptTemplate(TEMPLATE, train_tokenizer())
        cached = cached_encoder(sys.argv[2])
        print(all(cached.check_call_in_cache(template, row) for row in ROWS))
        return

    template = frasolet.PromptTemplate(TEMPLATE, train_tokenizer())
    expected = [encode_ids(template, row) for row in ROWS]
    parallel = joblib.Parallel(n_jobs=2, backend="loky")
    assert parallel(joblib.delayed(encode_ids)(template, row) for row in ROWS) == expected
    here = joblib.hash(template)
    there = parallel(joblib.delayed(joblib.hash)(template) for _ in range(4))
    assert there == [here] * 4, f"the workers hashed {there}, this process {here}"
    print(
        f"loky: {len(expected)} rows, the ids of this process; joblib.hash {here} in every worker"
    )

    with tempfile.TemporaryDirectory() as folder:
        cached = cached_encoder(folder)
        assert [cached(template, row) for row in ROWS] == expected
        result = subprocess.run(
            [sys.executable, __file__, "--in-cache", folder],
            check=True,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert result.stdout.strip() == "True", "a new process missed the cache"
    print(f"joblib.Memory: a new process found all {len(ROWS)} calls in the cache")


if __name__ == "__main__":
    main()
