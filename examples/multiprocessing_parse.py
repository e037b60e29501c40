"""Templates and a tokenizer in a pool of worker processes.

Three patterns, each checked against the same work done in this process:

1. Parse in the workers and send the fragments back: a PromptFragment
   pickles with its fields, so it comes back with the same text form and the
   same hash (hashes have no random key).
2. Build once per worker: the pool's initializer receives the tokenizer
   once, builds every template of the pipeline once, and the tasks name a
   template and carry only the inputs. This is the pattern for many small
   tasks. (A real pipeline would load its tokenizer from a file there.)
3. Send the template with the task: a PromptTemplate pickles with its exact
   fragments and its tokenizer, so ``functools.partial(encode_ids, template)``
   travels to the workers as it is. Simple, but the template and its
   tokenizer are pickled again for every chunk of tasks.

The pool uses the "spawn" start method: each worker is a fresh interpreter
that imports frasolet itself, as it would on any platform. Results are
awaited with a timeout, so that a worker that dies shows as an error instead
of a pool that waits forever.
"""

from __future__ import annotations

import functools
import multiprocessing
from collections.abc import Mapping

from tokenizer_pipeline import encode, train_tokenizer
from tokenizers import Tokenizer

import frasolet

TEMPLATES = [
    "Hi [name|Ada,Grace]!",
    r"Escapes: \[not a placeholder\] and a backslash \\.",
    "[greeting] [name|first#last], you have [count] new [item|message,messages].",
    "Unicode: é[ü|ö,ß] ok",
    "lenient: kept text [never closed",
]

# The templates of a small pipeline, by name.
PIPELINE = {
    "question": "Question: [question|strip] Answer in [language|lower]:",
    "summary": r"Summarise \[in one line\]: [text|strip,quote]",
}

SAMPLES: list[tuple[str, dict[str, str]]] = [
    ("question", {"question": " Who wrote the first program? ", "language": "English"}),
    ("summary", {"text": "Ada Lovelace published the first program in 1843."}),
    ("question", {"question": "Who designed the engine?", "language": "FRENCH"}),
]

TIMEOUT = 120  # seconds


def spawn_context() -> multiprocessing.context.SpawnContext:
    return multiprocessing.get_context("spawn")


# ---- 1. parse in the workers --------------------------------------------------


def parse_in_worker(template: str) -> tuple[list[frasolet.PromptFragment], list[int]]:
    """Runs in a worker: the fragments, and their hashes as the worker sees them."""
    fragments = frasolet.parse(template)
    return fragments, [hash(fragment) for fragment in fragments]


def parse_all(
    templates: list[str], processes: int = 2
) -> list[tuple[list[frasolet.PromptFragment], list[int]]]:
    """Parses every template in a pool of worker processes, in order."""
    with spawn_context().Pool(processes) as pool:
        return pool.map_async(parse_in_worker, templates).get(TIMEOUT)


# ---- 2. build once per worker ---------------------------------------------------

# What the initializer builds, in each worker process.
worker_templates: dict[str, frasolet.PromptTemplate[Tokenizer]] = {}


def start_worker(tokenizer: Tokenizer) -> None:
    """The pool initializer: runs once in each worker, before its first task."""
    for name, text in PIPELINE.items():
        worker_templates[name] = frasolet.PromptTemplate(text, tokenizer)


def encode_sample(sample: tuple[str, dict[str, str]]) -> list[int]:
    name, inputs = sample
    return encode(worker_templates[name], inputs).input_ids


def encode_all(
    tokenizer: Tokenizer, samples: list[tuple[str, dict[str, str]]], processes: int = 2
) -> list[list[int]]:
    """Token ids of every sample, in order, by workers that build their templates once."""
    pool = spawn_context().Pool(processes, initializer=start_worker, initargs=(tokenizer,))
    with pool:
        return pool.map_async(encode_sample, samples).get(TIMEOUT)


# ---- 3. send the template with the task -----------------------------------------


def encode_ids(
    template: frasolet.PromptTemplate[Tokenizer], inputs: Mapping[str, str]
) -> list[int]:
    return encode(template, inputs).input_ids


def encode_with_template(
    template: frasolet.PromptTemplate[Tokenizer], inputs: list[dict[str, str]], processes: int = 2
) -> list[list[int]]:
    """Token ids of every input, in order; the template travels in the tasks."""
    with spawn_context().Pool(processes) as pool:
        return pool.map_async(functools.partial(encode_ids, template), inputs).get(TIMEOUT)


def main() -> None:
    results = parse_all(TEMPLATES)
    for template, (fragments, worker_hashes) in zip(TEMPLATES, results):
        local = frasolet.parse(template)
        same_fields = [(f.string, f.options) for f in fragments] == [
            (f.string, f.options) for f in local
        ]
        same_hashes = worker_hashes == [hash(f) for f in local] == [hash(f) for f in fragments]
        print(f"{template!r}")
        print(f"  {len(fragments)} fragments back from a worker: {fragments}")
        print(f"  equal to a local parse: {same_fields}; same hashes: {same_hashes}")
        if not (same_fields and same_hashes):
            raise SystemExit(f"mismatch for {template!r}")

    tokenizer = train_tokenizer()
    local_templates = {
        name: frasolet.PromptTemplate(text, tokenizer) for name, text in PIPELINE.items()
    }
    expected = [encode_ids(local_templates[name], inputs) for name, inputs in SAMPLES]
    by_workers = encode_all(tokenizer, SAMPLES)
    print(
        f"built once per worker: {len(by_workers)} samples encoded; "
        f"the same ids as here: {by_workers == expected}"
    )

    summary = local_templates["summary"]
    texts = [inputs for name, inputs in SAMPLES if name == "summary"]
    sent = encode_with_template(summary, texts)
    expected_sent = [encode_ids(summary, inputs) for inputs in texts]
    print(f"template sent with the tasks: {summary}; the same ids as here: {sent == expected_sent}")
    if by_workers != expected or sent != expected_sent:
        raise SystemExit("the workers' ids differ from this process's")


if __name__ == "__main__":
    main()
