"""Render a template's fragments into token ids with a small toy tokenizer.

frasolet parses the template and keeps the tokenizer next to the fragments;
it never calls the tokenizer. Everything that gives the placeholders and
their options a meaning lives here, in the caller:

* a text fragment is copied as it is;
* a placeholder ``[name|opt,...]`` is replaced by ``inputs["name"]``, and its
  options are applied to that value from left to right (``upper``, ``lower``,
  ``strip``, ``quote``).

Each rendered piece is tokenized on its own, so every token id can be traced
back to the fragment it came from.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field

import frasolet

TEMPLATE = "Question: [question|strip] Context: [context|strip,quote] Answer in [language|lower]:"

OPTIONS: dict[str, Callable[[str], str]] = {
    "upper": str.upper,
    "lower": str.lower,
    "strip": str.strip,
    "quote": lambda value: f'"{value}"',
}


class ToyTokenizer:
    """Splits words and punctuation; gives each new token the next free id.

    The ids 0 to 2 are reserved for the special tokens. Calls are counted so
    that one can see who calls the tokenizer: only this example does.
    """

    SPECIAL = ("<pad>", "<bos>", "<eos>")
    _TOKEN = re.compile(r"\w+|[^\w\s]")

    def __init__(self) -> None:
        self.vocabulary: dict[str, int] = {token: i for i, token in enumerate(self.SPECIAL)}
        self.calls = 0

    @property
    def bos_id(self) -> int:
        return self.vocabulary["<bos>"]

    @property
    def eos_id(self) -> int:
        return self.vocabulary["<eos>"]

    def encode(self, text: str) -> list[int]:
        self.calls += 1
        ids = []
        for token in self._TOKEN.findall(text):
            ids.append(self.vocabulary.setdefault(token, len(self.vocabulary)))
        return ids

    def decode(self, ids: list[int]) -> str:
        by_id = {i: token for token, i in self.vocabulary.items()}
        return " ".join(by_id[i] for i in ids)


@dataclass
class Encoding:
    """What the pipeline gives a language model."""

    input_ids: list[int] = field(default_factory=list)
    # For every token: the mask name of the placeholder it came from, or None
    # for template text and special tokens.
    sources: list[str | None] = field(default_factory=list)
    text: str = ""


def render_fragment(fragment: frasolet.PromptFragment, inputs: Mapping[str, str]) -> str:
    """The text that one fragment stands for."""
    if fragment.options is None:
        return fragment.string
    try:
        value = inputs[fragment.string]
    except KeyError:
        raise KeyError(f"no input for the placeholder [{fragment.string}]") from None
    for option in fragment.options:
        try:
            value = OPTIONS[option](value)
        except KeyError:
            raise ValueError(f"unknown option {option!r} in {fragment}") from None
    return value


def encode(template: frasolet.PromptTemplate[ToyTokenizer], inputs: Mapping[str, str]) -> Encoding:
    """Renders every fragment of ``template`` and tokenizes it with its tokenizer."""
    tokenizer = template.tokenizer
    encoding = Encoding(input_ids=[tokenizer.bos_id], sources=[None])
    for fragment in template:
        piece = render_fragment(fragment, inputs)
        encoding.text += piece
        ids = tokenizer.encode(piece)
        encoding.input_ids += ids
        source = None if fragment.options is None else fragment.string
        encoding.sources += [source] * len(ids)
    encoding.input_ids.append(tokenizer.eos_id)
    encoding.sources.append(None)
    return encoding


def main() -> None:
    tokenizer = ToyTokenizer()
    template = frasolet.PromptTemplate(TEMPLATE, tokenizer)
    print(f"template:  {template}")
    print(f"fragments: {template.fragments}")
    print(f"tokenizer calls while parsing: {tokenizer.calls}")

    inputs = {
        "question": "  Who wrote the first program?  ",
        "context": " Ada Lovelace published it in 1843. ",
        "language": "ENGLISH",
    }
    encoding = encode(template, inputs)
    print(f"rendered:  {encoding.text}")
    print(f"input_ids: {encoding.input_ids}")
    print(f"tokens:    {tokenizer.decode(encoding.input_ids)}")
    for name in ("question", "context", "language"):
        count = encoding.sources.count(name)
        print(f"  {count:2} tokens from [{name}]")
    print(f"tokenizer calls while encoding: {tokenizer.calls}")


if __name__ == "__main__":
    main()
