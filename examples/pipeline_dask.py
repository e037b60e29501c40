"""Templates on a Dask distributed cluster of two worker processes.

Four ways to get work to the workers, each checked against the same work
done in this process:

* ``client.submit`` with the template as an argument: it is pickled with
  the task;
* ``client.scatter(template, broadcast=True)`` once, then ``client.map``
  over the inputs with the scattered future: every worker keeps one copy;
* a ``dask.bag`` whose partitions are encoded in the workers;
* ``client.run``: every worker reports the hash, the pickle and the Dask
  token of the template it received.

A template has a deterministic Dask token (``dask.base.tokenize``): it is
the same in every worker process, so Dask can name and reuse results that
depend on it. The cluster is made here (``LocalCluster``); nothing is
downloaded.
"""

# The engines ship no type information (the imports say so); the calls of
# frasolet stay strictly typed.
# mypy: allow-untyped-calls, allow-untyped-decorators, allow-subclassing-any

from __future__ import annotations

import hashlib
import pickle

import dask  # type: ignore[import-untyped, import-not-found, unused-ignore]
import dask.bag  # type: ignore[import-untyped, import-not-found, unused-ignore]
from dask.base import tokenize  # type: ignore[import-untyped, import-not-found, unused-ignore]
from dask.distributed import Client, LocalCluster  # type: ignore[import-untyped, import-not-found, unused-ignore]
from tokenizer_pipeline import SAMPLE_ROWS, TEMPLATE, encode, train_tokenizer
from tokenizers import Tokenizer

import frasolet

ROWS = SAMPLE_ROWS


def encode_ids(template: frasolet.PromptTemplate[Tokenizer], row: dict[str, str]) -> list[int]:
    return encode(template, row).input_ids


def encode_partition(
    rows: list[dict[str, str]], template: frasolet.PromptTemplate[Tokenizer]
) -> list[list[int]]:
    return [encode_ids(template, row) for row in rows]


def digests(template: frasolet.PromptTemplate[Tokenizer]) -> tuple[int, str, str]:
    """The hash, the pickle's digest and the Dask token of ``template``."""
    pickled = hashlib.sha256(pickle.dumps(template, protocol=5)).hexdigest()
    return hash(template), pickled, tokenize(template)


def main() -> None:
    # A token that could only be made at random (from an object Dask cannot
    # pickle) is an error rather than a silent cache miss.
    dask.config.set({"tokenize.ensure-deterministic": True})
    template = frasolet.PromptTemplate(TEMPLATE, train_tokenizer())
    expected = [encode_ids(template, row) for row in ROWS]
    here = digests(template)

    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        submitted = client.submit(encode_ids, template, ROWS[0]).result()
        assert submitted == expected[0], "submit: other ids than here"

        [shared] = client.scatter([template], broadcast=True)
        mapped = client.gather(client.map(encode_ids, [shared] * len(ROWS), ROWS))
        assert mapped == expected, "scatter + map: other ids than here"

        bag = dask.bag.from_sequence(ROWS, npartitions=2)
        bagged = bag.map_partitions(encode_partition, template).compute()
        assert bagged == expected, "bag: other ids than here"

        there = client.run(digests, template)
        assert len(there) == 2
        for worker, seen in there.items():
            assert tuple(seen) == here, f"worker {worker} saw {seen}, this process {here}"
    print(
        f"submit, scatter(broadcast=True) + map and a bag: {len(expected)} rows, "
        "the ids of this process"
    )
    print(
        f"hash {here[0]}, pickle sha256 {here[1][:16]}, dask token {here[2]}: "
        "the same in both worker processes"
    )


if __name__ == "__main__":
    main()
