"""A template in ``datasets.Dataset.map`` with worker processes, and its cache.

``map(num_proc=2)`` sends the mapped function and its ``fn_kwargs`` to two
worker processes with dill; a template (with its tokenizer) can go either
way, in ``fn_kwargs`` or in a closure. ``datasets`` also hashes the function
and its arguments into the fingerprint of the result, which names the cache
file of a dataset kept on disk. A template hashes the same in every process,
so a second process that runs the same ``map`` reads the first one's cache
instead of tokenizing again.

Checked here: both forms give the ids of the same work done in this
process; the fingerprint of the template (``Hasher.hash``) and of the mapped
dataset are the same in a new process, and that process writes no new cache
file. Nothing is downloaded: the data set is made here and kept in a
temporary folder.
"""

# The engines ship no type information (the imports say so); the calls of
# frasolet stay strictly typed.
# mypy: allow-untyped-calls, allow-untyped-decorators, allow-subclassing-any

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

# Offline: this example reads no hub.
os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("HF_DATASETS_OFFLINE", "1")

import datasets  # type: ignore[import-untyped, import-not-found, unused-ignore]  # noqa: E402
from datasets.fingerprint import Hasher  # type: ignore[import-untyped, import-not-found, unused-ignore]  # noqa: E402
from tokenizer_pipeline import TEMPLATE, encode, train_tokenizer  # noqa: E402
from tokenizers import Tokenizer  # noqa: E402

import frasolet  # noqa: E402

ROWS = {
    "question": [
        " Who wrote the first program? ",
        "What did the engine compute?",
        "Who wrote a compiler?",
        " When was it published?",
    ],
    "context": [
        "Ada Lovelace published it.",
        "Bernoulli numbers.",
        "Grace Hopper did.",
        "In 1843.",
    ],
    "style": ["Detailed", "brief", "BRIEF", "detailed"],
    "language": ["English", "French", "ENGLISH", "french"],
}


def encode_row(
    row: dict[str, str], template: frasolet.PromptTemplate[Tokenizer]
) -> dict[str, list[int]]:
    return {"input_ids": encode(template, row).input_ids}


def build_template() -> frasolet.PromptTemplate[Tokenizer]:
    return frasolet.PromptTemplate(TEMPLATE, train_tokenizer())


def map_saved(folder: Path, template: frasolet.PromptTemplate[Tokenizer]) -> datasets.Dataset:
    """Maps the data set saved in ``folder``; the result is cached beside it."""
    rows = datasets.load_from_disk(str(folder))
    return rows.map(
        encode_row, fn_kwargs={"template": template}, num_proc=2, remove_columns=rows.column_names
    )


def report(folder: Path) -> dict[str, Any]:
    """What a process sees: the template's fingerprint, the result's, its cache."""
    template = build_template()
    mapped = map_saved(folder, template)
    return {
        "template": Hasher.hash(template),
        "mapped": mapped._fingerprint,
        "cache_files": sorted(f["filename"] for f in mapped.cache_files),
    }


def main() -> None:
    datasets.disable_progress_bars()
    if sys.argv[1:2] == ["--report"]:
        print(json.dumps(report(Path(sys.argv[2]))))
        return

    template = build_template()
    rows = datasets.Dataset.from_dict(ROWS)
    expected = [encode(template, row).input_ids for row in rows]

    by_kwargs = rows.map(encode_row, fn_kwargs={"template": template}, num_proc=2)
    by_closure = rows.map(lambda row: encode_row(row, template), num_proc=2)
    assert by_kwargs["input_ids"] == expected, "fn_kwargs: other ids than here"
    assert by_closure["input_ids"] == expected, "closure: other ids than here"
    print(
        f"map(num_proc=2): {len(expected)} rows, the ids of this process "
        "with the template in fn_kwargs and in a closure"
    )

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp) / "rows"
        rows.save_to_disk(str(folder))
        here = report(folder)
        written = {name: os.stat(name).st_mtime_ns for name in here["cache_files"]}
        result = subprocess.run(
            [sys.executable, __file__, "--report", str(folder)],
            check=True,
            capture_output=True,
            text=True,
            timeout=300,
        )
        there = json.loads(result.stdout)
        assert there == here, f"another process saw {there}, this one {here}"
        assert {name: os.stat(name).st_mtime_ns for name in there["cache_files"]} == written, (
            "the second process wrote the cache again"
        )
        assert sorted(p.name for p in folder.glob("cache-*.arrow")) == sorted(
            Path(name).name for name in here["cache_files"]
        )
    print(
        f"template fingerprint {here['template']}, mapped {here['mapped']}: "
        f"the same in a new process, which read the {len(written)} cache files"
    )


if __name__ == "__main__":
    main()
