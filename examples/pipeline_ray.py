"""Templates in Ray: remote tasks, ``ray.put`` and an actor that holds a template.

Ray pickles task arguments (cloudpickle) into its object store. Two ways to
share a template:

* ``ray.put(template)`` once, then pass the reference to every task: the
  workers read one stored copy instead of receiving it with each task;
* an actor that builds the template once, from a tokenizer, and keeps it
  for every call: the pattern for a long-lived worker.

Checked here: both give the ids of the same work done in this process, and
the actor's process sees the same hash and pickle of the template. Ray runs
locally with two CPUs and no dashboard; nothing is downloaded.
"""

# The engines ship no type information (the imports say so); the calls of
# frasolet stay strictly typed.
# mypy: allow-untyped-calls, allow-untyped-decorators, allow-subclassing-any

from __future__ import annotations

import hashlib
import os
import pickle

# Quiet and local: no usage report, no dashboard.
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

import ray  # type: ignore[import-untyped, import-not-found, unused-ignore]  # noqa: E402
from tokenizer_pipeline import SAMPLE_ROWS, TEMPLATE, encode, train_tokenizer  # noqa: E402
from tokenizers import Tokenizer  # noqa: E402

import frasolet  # noqa: E402

ROWS = SAMPLE_ROWS


def digests(template: frasolet.PromptTemplate[Tokenizer]) -> tuple[int, str]:
    return hash(template), hashlib.sha256(pickle.dumps(template, protocol=5)).hexdigest()


@ray.remote
def encode_ids(template: frasolet.PromptTemplate[Tokenizer], row: dict[str, str]) -> list[int]:
    return encode(template, row).input_ids


class Encoder:
    """Holds one template for every call it serves."""

    def __init__(self, tokenizer: Tokenizer) -> None:
        self.template = frasolet.PromptTemplate(TEMPLATE, tokenizer)

    def encode(self, row: dict[str, str]) -> list[int]:
        return encode(self.template, row).input_ids

    def digests(self) -> tuple[int, str]:
        return digests(self.template)


EncoderActor = ray.remote(Encoder)


def main() -> None:
    tokenizer = train_tokenizer()
    template = frasolet.PromptTemplate(TEMPLATE, tokenizer)
    expected = [encode(template, row).input_ids for row in ROWS]
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        stored = ray.put(template)
        assert ray.get([encode_ids.remote(stored, row) for row in ROWS]) == expected
        encoder = EncoderActor.remote(tokenizer)
        assert ray.get([encoder.encode.remote(row) for row in ROWS]) == expected
        there = tuple(ray.get(encoder.digests.remote()))
    finally:
        ray.shutdown()
    here = digests(template)
    assert there == here, f"the actor saw {there}, this process {here}"
    print(f"ray.put + remote tasks and an actor: {len(expected)} rows, the ids of this process")
    print(f"hash {here[0]} and pickle {here[1]:.16} the same in the actor's process")


if __name__ == "__main__":
    main()
