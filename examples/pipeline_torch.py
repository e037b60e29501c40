"""Templates in a PyTorch ``DataLoader`` with worker processes.

A map-style dataset holds the template (with its tokenizer) and encodes one
row per item. With ``num_workers=2`` the loader hands the dataset to two
worker processes: "fork" copies it, "spawn" and "forkserver" pickle it, so
the template travels with its fragments and its tokenizer, and the dataset
class must be importable by the workers (defined at the top level of a
module, not under ``if __name__ == "__main__":``).

Checked here, for each of the three start methods: the batches hold the ids
of the same work done in this process, and every worker sees the same hash
of the template.
"""

# The engines ship no type information (the imports say so); the calls of
# frasolet stay strictly typed.
# mypy: allow-untyped-calls, allow-untyped-decorators, allow-subclassing-any

from __future__ import annotations

import torch  # type: ignore[import-untyped, import-not-found, unused-ignore]
from tokenizer_pipeline import SAMPLE_ROWS, TEMPLATE, encode, train_tokenizer
from tokenizers import Tokenizer
from torch.utils.data import DataLoader, Dataset  # type: ignore[import-untyped, import-not-found, unused-ignore]

import frasolet

ROWS = SAMPLE_ROWS


class PromptDataset(Dataset):
    """Token ids of one row per item, with the hash of the template that made them."""

    def __init__(
        self, template: frasolet.PromptTemplate[Tokenizer], rows: list[dict[str, str]]
    ) -> None:
        self.template = template
        self.rows = rows

    def __len__(self) -> int:
        return len(self.rows)

    def __getitem__(self, index: int) -> dict[str, object]:
        ids = encode(self.template, self.rows[index]).input_ids
        return {"input_ids": torch.tensor(ids), "template_hash": hash(self.template)}


def main() -> None:
    template = frasolet.PromptTemplate(TEMPLATE, train_tokenizer())
    expected = [encode(template, row).input_ids for row in ROWS]
    dataset = PromptDataset(template, ROWS)
    for method in ("fork", "spawn", "forkserver"):
        # Rows differ in length: the batch stays a list of items.
        loader = DataLoader(
            dataset,
            batch_size=2,
            num_workers=2,
            collate_fn=list,
            multiprocessing_context=method,
            timeout=120,
        )
        items = [item for batch in loader for item in batch]
        assert [item["input_ids"].tolist() for item in items] == expected, method
        assert {item["template_hash"] for item in items} == {hash(template)}, method
        print(
            f"DataLoader(num_workers=2), {method}: {len(items)} rows, the ids and "
            "template hash of this process"
        )


if __name__ == "__main__":
    main()
