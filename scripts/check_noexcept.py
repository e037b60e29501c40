#!/usr/bin/env python3
"""No function that can run Python code is noexcept.

CPython 3.10 to 3.13 end a thread at exit with a forced unwind, which the C++
runtime turns into an abort when it meets a noexcept frame; any Python code
can be where the thread is ended (binding/thread_exit.hpp). So in src/binding
and src/module, the body of a noexcept function (or lambda) may call only:

* functions of the interpreter's C API that never run Python code (ALLOWED
  below: reads, reference increments, allocation, the thread state), and
* functions of this project that are noexcept themselves.

A call to any other C API function, a reference release (Py_DECREF and its
kind: a finalizer can run), or a project function declared only without
noexcept is reported, with its file and line. The check reads the sources
as text: it knows no overloads, so a name declared both ways is trusted.

Usage: python3 scripts/check_noexcept.py [ROOT]   (exit 1 when it finds one)
"""

import pathlib
import re
import sys

# C API calls that run no Python code and release nothing.
ALLOWED = {
    "PyBool_Check", "PyDict_GET_SIZE", "PyErr_Fetch", "PyErr_GetRaisedException",
    "PyException_GetTraceback", "PyDict_Next", "PyErr_NoMemory", "PyErr_Occurred",
    "PyGILState_GetThisThreadState", "PyInterpreterState_Get", "PyInterpreterState_GetDict",
    "PyInterpreterState_Main", "PyList_GET_ITEM", "PyList_GET_SIZE", "PyList_SET_ITEM",
    "PyMem_Free", "PyMem_Malloc", "PyModule_GetDef", "PyModule_GetState", "PyObject_Free",
    "PyObject_Init", "PyObject_Malloc", "PyThreadState_GetUnchecked", "PyThread_get_thread_ident",
    "PyTuple_Check", "PyTuple_GET_ITEM", "PyTuple_GET_SIZE", "PyType_Check",
    "PyType_HasFeature", "PyType_IS_GC", "PyUnicode_Check", "PyUnicode_CompareWithASCIIString",
    "Py_INCREF", "Py_IsFinalizing", "Py_REFCNT", "Py_RETURN_NONE", "Py_TYPE", "Py_XINCREF",
    "_PyThreadState_UncheckedGet", "_Py_IsFinalizing",
}

KEYWORDS = {"if", "for", "while", "switch", "return", "sizeof", "alignof", "decltype",
            "static_cast", "reinterpret_cast", "const_cast", "noexcept", "assert",
            "static_assert", "catch", "throw", "new", "delete"}

STATEMENT_WORDS = {"return", "throw", "else", "case", "do", "new", "delete"}

CALL = re.compile(r"\b([A-Za-z_][A-Za-z0-9_]*)\s*(?:<[^<>;{}()]*>)?\s*\(")
NOEXCEPT = re.compile(r"\bnoexcept\b(\s*\(\s*(true|false)\s*\))?")
# A function's declaration or definition at the start of a statement: a type,
# the name, the parameters, then maybe const and noexcept, then `;` or a body.
DECLARATION = re.compile(r"(?m)^[ \t]*(?:(?:static|inline|constexpr|extern|virtual|friend|"
                         r"template\s*<[^;{}]*>)\s+)*[A-Za-z_][\w:<>,*& ]*?[\w>*&]\s*[*&]?"
                         r"\b([A-Za-z_]\w*)\s*\(((?:[^;{}()]|\([^;{}()]*\))*)\)\s*(const\s*)?"
                         r"(noexcept\b(?!\s*\(\s*false))?[^;{]*[;{]")


def strip(text):
    """The source with comments, strings and character literals blanked (lines kept)."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'',
                         re.S)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def matching(text, start, opening, closing):
    """The index just past the bracket that closes the one at `start`."""
    depth = 0
    for index in range(start, len(text)):
        if text[index] == opening:
            depth += 1
        elif text[index] == closing:
            depth -= 1
            if depth == 0:
                return index + 1
    return len(text)


def noexcept_bodies(text):
    """(name, body start, body) of every noexcept function or lambda defined in `text`."""
    for match in NOEXCEPT.finditer(text):
        if match.group(2) == "false":
            continue
        # What precedes: the parameter list, and the name before it.
        before = text[:match.start()].rstrip()
        before = re.sub(r"\bconst$", "", before).rstrip()
        if not before.endswith(")"):
            continue  # a noexcept(...) operator, or a declaration of another form
        depth, index = 0, len(before) - 1
        while index >= 0:
            if before[index] == ")":
                depth += 1
            elif before[index] == "(":
                depth -= 1
                if depth == 0:
                    break
            index -= 1
        name = re.search(r"([A-Za-z_][A-Za-z0-9_:~]*|\])\s*$", before[:index])
        name = name.group(1) if name else "?"
        # What follows: a body, possibly after a trailing type, `override` or an
        # initializer list; a `;` or `=` ends a declaration.
        rest = match.end()
        follow = re.match(r"[^;{=]*", text[rest:]).group(0)
        if text[rest + len(follow):rest + len(follow) + 1] != "{":
            continue
        if follow.count(")") > follow.count("("):
            continue  # a function type among parameters: `void (*f)() noexcept)`
        if re.search(r"\)\s*:", ")" + follow) or follow.lstrip().startswith(":"):
            # An initializer list: its braces and parentheses come before the body.
            position = rest
            while True:
                brace = text.index("{", position)
                prefix = text[rest:brace]
                if prefix.count("(") == prefix.count(")") and not re.search(
                        r"[A-Za-z0-9_]\s*$", prefix):
                    break
                position = matching(text, brace, "{", "}")
            start = brace
        else:
            start = rest + len(follow)
        yield name, start, text[start:matching(text, start, "{", "}")]


def main(argv):
    root = pathlib.Path(argv[1] if len(argv) > 1 else pathlib.Path(__file__).resolve().parents[1])
    files = sorted(p for folder in ("src/binding", "src/module")
                   for p in (root / folder).glob("*.[ch]pp"))
    sources = {path: strip(path.read_text(encoding="utf-8")) for path in files}
    trusted, untrusted = set(), set()
    for text in sources.values():
        for declaration in DECLARATION.finditer(text):
            if declaration.group(1) not in KEYWORDS:
                (trusted if declaration.group(4) else untrusted).add(declaration.group(1))
    only_throwing = untrusted - trusted
    found = []
    for path, text in sources.items():
        for name, start, body in noexcept_bodies(text):
            for call in CALL.finditer(body):
                callee = call.group(1)
                if callee in KEYWORDS or callee == name:
                    continue
                before = body[:call.start()]
                if re.search(r"(\.|->|std::)\s*$", before):
                    continue  # a member's call, or the standard library's
                word = re.search(r"(\w+|>)\s+$", before)
                if word and word.group(1) not in STATEMENT_WORDS:
                    continue  # a variable made with parentheses: `Type name(...)`
                c_api = re.match(r"_?Py", callee) is not None
                if (c_api and callee not in ALLOWED) or (not c_api and callee in only_throwing):
                    line = text.count("\n", 0, start + call.start()) + 1
                    found.append(f"{path.relative_to(root)}:{line}: noexcept {name} calls "
                                 f"{callee}, which can run Python code")
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} call(s) that can run Python code from a noexcept function; "
              "drop the noexcept (binding/thread_exit.hpp says why)")
        return 1
    print(f"no noexcept function of src/binding or src/module runs Python code "
          f"({len(files)} files)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
