"""Turn a template and its inputs into token ids, with a real BPE tokenizer.

frasolet parses the template once and keeps the tokenizer beside the
fragments; it never calls the tokenizer. Everything that gives the
placeholders and their options a meaning lives here, in the caller:

* a text fragment is copied as it is;
* a placeholder ``[name|opt,...]`` is replaced by ``inputs["name"]``, and its
  options are applied to that value from left to right (``upper``, ``lower``,
  ``strip``, ``quote``).

The tokenizer is a byte-level BPE of the ``tokenizers`` package, trained here
in a few milliseconds on a small text that the example writes itself, so
nothing is downloaded. A real pipeline loads its model's tokenizer instead
(``Tokenizer.from_file("tokenizer.json")``).

Render the whole prompt, then tokenize it once: those are the ids the model
expects. Tokenizing fragment by fragment and joining the ids gives other ids
as a rule. BPE merges only inside a pre-token (roughly a word with the space
in front of it), and a fragment boundary can cut one in two: "in a " followed
by a value "detailed" gives ``in, Ġa, Ġ, d, et, ailed`` where the rendered
text gives ``in, Ġa, Ġdetailed``, a sequence the model never saw in training.
Per-fragment ids are the same only when every piece pre-tokenizes exactly as
its part of the whole text (``pieces_tokenize_alone`` checks that), and the
usual way of writing a template, with a space before each placeholder, is
exactly what breaks it. To know which tokens came from which placeholder,
read the offsets of the one encoding, as ``encode`` does.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field

from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

import frasolet

TEMPLATE = (
    "Question: [question|strip] Context: [context|strip,quote] "
    "Answer in a [style|lower] way, in [language|lower]:"
)

OPTIONS: dict[str, Callable[[str], str]] = {
    "upper": str.upper,
    "lower": str.lower,
    "strip": str.strip,
    "quote": lambda value: f'"{value}"',
}

SPECIAL_TOKENS = ["<bos>", "<eos>"]

# Inputs for the template, as the pipeline recipes (pipeline_*.py) feed it.
SAMPLE_ROWS: list[dict[str, str]] = [
    {
        "question": " Who wrote the first program? ",
        "context": "Ada Lovelace.",
        "style": "Detailed",
        "language": "English",
    },
    {
        "question": "What did the engine compute?",
        "context": "Bernoulli numbers.",
        "style": "brief",
        "language": "FRENCH",
    },
    {
        "question": "Who wrote a compiler?",
        "context": " Grace Hopper. ",
        "style": "BRIEF",
        "language": "english",
    },
    {
        "question": "When was it published?",
        "context": "In 1843.",
        "style": "detailed",
        "language": "French",
    },
]


def training_text() -> list[str]:
    """A small corpus for the tokenizer: the kind of text the prompts hold."""
    facts = [
        "Ada Lovelace published the first program in 1843.",
        "Charles Babbage designed the analytical engine.",
        "The engine would have computed Bernoulli numbers.",
        "Grace Hopper wrote one of the first compilers.",
    ]
    prompts = [
        "Question: who wrote the first program? Answer in a detailed way, in English:",
        "Context: a short text. Answer in a brief way, in French:",
    ]
    return (facts + prompts) * 10


def train_tokenizer(vocab_size: int = 400) -> Tokenizer:
    """A byte-level BPE tokenizer trained on ``training_text()``."""
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tokenizer.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(
        vocab_size=vocab_size,
        special_tokens=SPECIAL_TOKENS,
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        show_progress=False,
    )
    tokenizer.train_from_iterator(training_text(), trainer)
    return tokenizer


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


@dataclass
class Rendered:
    """A rendered prompt: its pieces, one per fragment, and where they came from."""

    pieces: list[str] = field(default_factory=list)
    # For every piece: the mask name of its placeholder, or None for text.
    sources: list[str | None] = field(default_factory=list)

    @property
    def text(self) -> str:
        return "".join(self.pieces)


def render(template: frasolet.PromptTemplate[Tokenizer], inputs: Mapping[str, str]) -> Rendered:
    """Walks the fragments of ``template`` and renders each one."""
    rendered = Rendered()
    for fragment in template:
        rendered.pieces.append(render_fragment(fragment, inputs))
        rendered.sources.append(None if fragment.options is None else fragment.string)
    return rendered


@dataclass
class Encoding:
    """What the pipeline gives a language model."""

    input_ids: list[int]
    # For every token: the mask name of the first placeholder whose value it
    # covers, or None for template text and special tokens.
    sources: list[str | None]
    text: str


def encode(template: frasolet.PromptTemplate[Tokenizer], inputs: Mapping[str, str]) -> Encoding:
    """Renders the prompt, tokenizes it once and traces tokens to placeholders."""
    tokenizer = template.tokenizer
    rendered = render(template, inputs)
    encoded = tokenizer.encode(rendered.text)
    spans = []
    start = 0
    for piece, source in zip(rendered.pieces, rendered.sources):
        spans.append((start, start + len(piece), source))
        start += len(piece)
    sources: list[str | None] = []
    for token_start, token_end in encoded.offsets:
        # A token may cover the end of one piece and the start of the next
        # (" detailed": the space is template text); the placeholder wins.
        covering = (
            s
            for begin, end, s in spans
            if s is not None and begin < token_end and token_start < end
        )
        sources.append(next(covering, None))
    bos, eos = (tokenizer.token_to_id(token) for token in SPECIAL_TOKENS)
    assert bos is not None and eos is not None
    return Encoding([bos, *encoded.ids, eos], [None, *sources, None], rendered.text)


def ids_per_fragment(
    template: frasolet.PromptTemplate[Tokenizer], inputs: Mapping[str, str]
) -> list[int]:
    """The tempting mistake: every fragment tokenized on its own, ids joined."""
    tokenizer = template.tokenizer
    rendered = render(template, inputs)
    return [i for piece in rendered.pieces for i in tokenizer.encode(piece).ids]


def pieces_tokenize_alone(tokenizer: Tokenizer, pieces: Sequence[str]) -> bool:
    """Whether tokenizing ``pieces`` one by one gives the ids of their join.

    True when the pieces split into exactly the pre-tokens of the whole text:
    a BPE model then sees the same words either way. (For a tokenizer with a
    normalizer, normalize first.)
    """
    pre_tokenizer = tokenizer.pre_tokenizer
    assert pre_tokenizer is not None

    def words(text: str) -> list[str]:
        return [word for word, _ in pre_tokenizer.pre_tokenize_str(text)]

    return [word for piece in pieces for word in words(piece)] == words("".join(pieces))


def main() -> None:
    tokenizer = train_tokenizer()
    template = frasolet.PromptTemplate(TEMPLATE, tokenizer)
    print(f"template:  {template}")
    print(f"fragments: {template.fragments}")
    print(f"tokenizer: byte-level BPE, {tokenizer.get_vocab_size()} tokens")

    inputs = {
        "question": "  Who wrote the first program?  ",
        "context": " Ada Lovelace published it in 1843. ",
        "style": "Detailed",
        "language": "ENGLISH",
    }
    encoding = encode(template, inputs)
    print(f"rendered:  {encoding.text}")
    print(f"input_ids: {encoding.input_ids}")
    print(f"decoded:   {tokenizer.decode(encoding.input_ids)}")
    for name in ("question", "context", "style", "language"):
        print(f"  {encoding.sources.count(name):2} tokens from [{name}]")

    per_fragment = ids_per_fragment(template, inputs)
    whole = encoding.input_ids[1:-1]
    pieces = render(template, inputs).pieces
    print(
        f"tokenized fragment by fragment: {len(per_fragment)} ids, {len(whole)} for the "
        f"whole text; the same ids: {per_fragment == whole}; "
        f"pieces_tokenize_alone says: {pieces_tokenize_alone(tokenizer, pieces)}"
    )
    if per_fragment == whole:
        raise SystemExit("expected the per-fragment ids to differ for this template")


if __name__ == "__main__":
    main()
