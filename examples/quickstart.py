"""A first look at frasolet: parse templates, inspect fragments, pickle them."""

import pickle

import frasolet

TEMPLATE = r"Hi [name|Ada,Grace]! Your order \[#[order]\] ships [when|today#tomorrow]."


def main() -> None:
    print(f"frasolet {frasolet.__version__}")
    print(f"template: {TEMPLATE}")
    print()
    print(f"{'kind':<12} {'str()':<24} {'repr()':<16} {'options':<22} hash()")
    for fragment in frasolet.parse(TEMPLATE):
        kind = "text" if fragment.options is None else "placeholder"
        print(
            f"{kind:<12} {str(fragment)!r:<24} {repr(fragment):<16} "
            f"{fragment.options!r:<22} {hash(fragment)}"
        )

    template = frasolet.PromptTemplate(TEMPLATE, tokenizer=None)
    print()
    print(f"PromptTemplate: {len(template)} fragments, text form {str(template)!r}")
    print(f"hash(template) = {hash(template)} (the same in every process)")

    fragment = frasolet.PromptFragment("name", ["Ada", "Grace"])
    restored = pickle.loads(pickle.dumps(fragment))
    print()
    print(f"pickled {fragment} and got back {restored} with options {restored.options}")

    # The parser is lenient: it stops quietly at the first unreadable spot.
    print(f"lenient: parse('ok [broken') -> {frasolet.parse('ok [broken')}")


if __name__ == "__main__":
    main()
