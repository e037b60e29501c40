"""Coverage-guided fuzzing of the Python surface of frasolet with atheris.

Each input is read as a template text followed by a short program of
operations on a PromptTemplate and a PromptFragment: parse, construct,
read and write every property, get and apply states (good and bad), text
forms, hashes, indexing, iteration and pickling, strict parses and
escape().  Every operation runs on the real objects and on the pure-Python
model of tests/python/model.py, and any difference in result or in
exception (type and message) is a crash, as is anything the sanitizers of
the module's build report.

Run it through ``bash scripts/hardening.sh atheris [seconds]``, which builds
the module with ASan, UBSan and libFuzzer coverage and preloads the runtime;
any libFuzzer flag can follow the script name.
"""

import os
import pickle
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "python"))

with atheris.instrument_imports():
    import model

import frasolet

REAL, MODEL = 0, 1
CLASSES = (
    (frasolet.PromptFragment, model.FragmentModel),
    (frasolet.PromptTemplate, model.TemplateModel),
)
KINDS = {
    frasolet.PromptFragment: "fragment", model.FragmentModel: "fragment",
    frasolet.PromptTemplate: "template", model.TemplateModel: "template",
}


def describe(value):
    kind = KINDS.get(type(value))
    if kind == "fragment":
        return ("fragment", value.string, value.options)
    if kind == "template":
        return ("template", str(value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [describe(item) for item in value])
    if isinstance(value, dict):
        return [(key, describe(item)) for key, item in value.items()]
    if type(value).__name__ in ("PromptFragmentIter", "IteratorModel"):
        return ("iterator",)
    return value


def outcome(call):
    try:
        return ("ok", describe(call()))
    except Exception as error:
        return ("raise", type(error).__name__, str(error))


def same(operation, *sides):
    results = [outcome(lambda: operation(side)) for side in (REAL, MODEL)]
    if results[REAL] != results[MODEL]:
        raise AssertionError(f"{operation.__name__}: {results[REAL]!r} != {results[MODEL]!r}")


def text(provider):
    """Mostly syntax-heavy text; sometimes any code points, surrogates included."""
    choice = provider.ConsumeIntInRange(0, 3)
    if choice == 0:
        return provider.ConsumeUnicode(provider.ConsumeIntInRange(0, 16))
    raw = provider.ConsumeBytes(provider.ConsumeIntInRange(0, 24))
    alphabet = "\\[]|#,ab \né😀"
    return "".join(alphabet[b % len(alphabet)] if b < 200 else chr(b + 0x300) for b in raw)


def value(provider, objects, side):
    """An argument for a setter or a state entry."""
    choice = provider.ConsumeIntInRange(0, 9)
    if choice <= 2:
        return text(provider)
    if choice == 3:
        return [text(provider) for _ in range(provider.ConsumeIntInRange(0, 3))]
    if choice == 4:
        return tuple(text(provider) for _ in range(provider.ConsumeIntInRange(0, 3)))
    if choice == 5:
        return [objects[side][0]] * provider.ConsumeIntInRange(0, 3)
    if choice == 6:
        return objects[side][1]
    if choice == 7:
        return None
    if choice == 8:
        return provider.ConsumeIntInRange(-2, 3)
    return {text(provider): text(provider)}


def one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    template_text = text(provider)
    objects = []
    for side in (REAL, MODEL):
        fragment_class, template_class = (cls[side] for cls in CLASSES)
        try:
            objects.append([fragment_class(template_text, [template_text]),
                            template_class(template_text, None)])
        except UnicodeEncodeError:
            objects.append([fragment_class(), template_class(None, None)])
    parse = (frasolet.parse, model.module_parse)
    same(lambda side: parse[side](template_text))

    for _ in range(provider.ConsumeIntInRange(0, 12)):
        operation = provider.ConsumeIntInRange(0, 15)
        seed = provider.ConsumeBytes(8)

        def argument(side):
            return value(atheris.FuzzedDataProvider(seed), objects, side)

        def fragment(side):
            return objects[side][0]

        def template(side):
            return objects[side][1]

        if operation == 0:
            def set_string(side):
                fragment(side).string = argument(side)
            same(set_string)
        elif operation == 1:
            def set_options(side):
                fragment(side).options = argument(side)
            same(set_options)
        elif operation == 2:
            def fragment_setstate(side):
                return fragment(side).__setstate__({"string": argument(side),
                                                    "options": argument(side)})
            same(fragment_setstate)
        elif operation == 3:
            def fragment_forms(side):
                f = fragment(side)
                return str(f), repr(f), hash(f), f.__getstate__()
            same(fragment_forms)
        elif operation == 4:
            def set_fragments(side):
                template(side).fragments = argument(side)
            same(set_fragments)
        elif operation == 5:
            def template_setstate(side):
                return template(side).__setstate__({"template": argument(side)})
            same(template_setstate)
        elif operation == 6:
            def template_forms(side):
                t = template(side)
                return str(t), hash(t), len(t), t.__getstate__(), list(t), t.fragments
            same(template_forms)
        elif operation == 7:
            index = provider.ConsumeIntInRange(-1, 4)

            def subscript(side):
                return template(side)[index]
            same(subscript)
        elif operation == 8:
            def pickled(side):
                f, t = pickle.loads(pickle.dumps((fragment(side), template(side))))
                return f, t.fragments, t.tokenizer
            same(pickled)
        elif operation == 9:
            def reparse(side):
                return CLASSES[1][side](str(template(side)), fragment(side))
            same(reparse)
        elif operation == 10:
            def construct_fragment(side):
                return CLASSES[0][side](argument(side), argument(side))
            same(construct_fragment)
        elif operation == 11:
            def set_tokenizer(side):
                template(side).tokenizer = argument(side)
                return describe(template(side).tokenizer)
            same(set_tokenizer)
        elif operation == 12:
            def iterate(side):
                iterator = iter(template(side))
                return [next(iterator) for _ in range(min(2, len(template(side))))]
            same(iterate)
        elif operation == 13:
            flag = provider.ConsumeIntInRange(0, 2)

            def strict_parse(side):
                # The error's attributes too, and that it pickles with them.
                try:
                    return parse[side](template_text, strict=(False, True, argument(side))[flag])
                except (frasolet.TemplateSyntaxError, model.TemplateSyntaxError) as error:
                    again = pickle.loads(pickle.dumps(error))
                    return ("error", str(error), error.pos, error.start, error.lineno,
                            error.colno, vars(again) == vars(error))
            same(strict_parse)
        elif operation == 14:
            escapes = (frasolet.escape, model.escape)

            def escape_parse(side):
                escaped = escapes[side](template_text)
                return escaped, parse[side](escaped, strict=True)
            same(escape_parse)
        else:
            def keyword_call(side):
                return parse[side](**{text(atheris.FuzzedDataProvider(seed)): template_text})
            same(keyword_call)

    for side in (REAL, MODEL):
        objects[side] = [describe(objects[side][0]), describe(objects[side][1])]
    if objects[REAL] != objects[MODEL]:
        raise AssertionError(f"final state: {objects[REAL]!r} != {objects[MODEL]!r}")


def main():
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
