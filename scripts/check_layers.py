"""Checks that the include arrows of src/ run one way only.

    module -> binding, module -> core; binding and core never include
    each other, and neither includes module/. All three may include
    platform/ (the compiler's extensions behind portable names), which
    includes nothing of theirs.

src/core may include only the C++ standard library (and the compiler's
vector intrinsics) besides its own headers; src/binding only the standard
library, the interpreter's header (through binding/python.hpp) and its own
headers. Each folder's README.md says what the folder holds and, in a
paragraph that starts "May include:", the same rules: the folders named as
`folder/`, the headers beyond the standard library as `<header>`; a README
that says otherwise is an offence too. Prints every offending line and
exits 1 if there is one.

Usage: python scripts/check_layers.py
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

# The C++20 standard library headers, and the C headers it carries as <cname>.
STANDARD = set(
    """algorithm any array atomic barrier bit bitset charconv chrono codecvt compare
    complex concepts condition_variable coroutine deque exception execution expected
    filesystem format forward_list fstream functional future initializer_list iomanip
    ios iosfwd iostream istream iterator latch limits list locale map memory
    memory_resource mutex new numbers numeric optional ostream queue random ranges
    ratio regex scoped_allocator semaphore set shared_mutex source_location span
    sstream stack stdexcept stop_token streambuf string string_view syncstream
    system_error thread tuple type_traits typeindex typeinfo unordered_map
    unordered_set utility valarray variant vector version
    cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath csetjmp
    csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype""".split()
)
INTRINSICS = {"emmintrin.h", "immintrin.h"}

# For each layer: the project folders it may include from, and the system
# headers it may include.
RULES = {
    "core": ({"core", "platform"}, STANDARD | INTRINSICS),
    "binding": ({"binding", "platform"}, STANDARD | {"Python.h"}),
    "module": ({"module", "binding", "core", "platform"}, STANDARD),
    "platform": ({"platform"}, STANDARD),
}


MAY_INCLUDE = re.compile(r"^May include:(.*?)(?:\n\s*\n|\Z)", re.MULTILINE | re.DOTALL)


def readme_offences():
    """Each folder's README.md against RULES."""
    for layer, (folders, system) in RULES.items():
        readme = ROOT / "src" / layer / "README.md"
        shown = readme.relative_to(ROOT)
        match = MAY_INCLUDE.search(readme.read_text()) if readme.exists() else None
        if match is None:
            yield f"{shown}: no paragraph starting 'May include:'"
            continue
        text = " ".join(match.group(1).split())
        named_folders = set(re.findall(r"`(\w+)/`", text))
        named_headers = set(re.findall(r"`<([^>]+)>`", text))
        if named_folders != folders:
            yield f"{shown}: names the folders {sorted(named_folders)}, not {sorted(folders)}"
        if named_headers != system - STANDARD:
            yield (f"{shown}: names the headers {sorted(named_headers)}, "
                   f"not {sorted(system - STANDARD)}")
        if "the C++ standard library" not in text:
            yield f"{shown}: does not name the C++ standard library"


def offences():
    for layer, (folders, system) in RULES.items():
        for path in sorted((ROOT / "src" / layer).rglob("*")):
            if path.suffix not in {".hpp", ".cpp", ".h"}:
                continue
            for number, line in enumerate(path.read_text().splitlines(), 1):
                match = INCLUDE.match(line)
                if match is None:
                    continue
                kind, name = match.groups()
                allowed = name in system if kind == "<" else name.split("/")[0] in folders
                if kind == "<" and name == "Python.h" and path.name != "python.hpp":
                    allowed = False  # one place includes the interpreter's header
                if not allowed:
                    shown = f"<{name}>" if kind == "<" else f'"{name}"'
                    yield f"{path.relative_to(ROOT)}:{number}: {layer}/ may not include {shown}"


def main():
    found = [*readme_offences(), *offences()]
    for offence in found:
        print(offence)
    if found:
        print(f"{len(found)} offence(s) against the layers", file=sys.stderr)
        return 1
    print("include arrows: core <- module -> binding, platform below all, nothing else")
    return 0


if __name__ == "__main__":
    sys.exit(main())
