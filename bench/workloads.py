"""The benchmark workloads, each generated from a fixed seed.

Every workload is a frasolet template. ``to_format_string`` gives the same
template in the ``str.format`` grammar, for the string.Formatter competitor.
"""

import random

SEED = 20240611

# Prose vocabulary: plain ASCII words and words with 2-, 3- and 4-byte UTF-8
# characters. None of them holds a syntax character of either grammar.
_ASCII_WORDS = (
    "the quick brown fox jumps over lazy dog model prompt answer question "
    "context system user assistant please write short summary of following "
    "text and then list three key points in order with care data set train "
    "value result example input output label review product service"
).split()
_NON_ASCII_WORDS = (
    "über façade naïve crème brûlée smörgåsbord jalapeño déjà vu "
    "Straße Ελληνικά русский язык українська ქართული עברית العربية "
    "हिन्दी 日本語 中文 한국어 ภาษาไทย Tiếng Việt emoji 🙂 🚀 ✨"
).split()
_PUNCTUATION = (".", ",", ";", ":", "!", "?", " -", "'s", "")
_NAMES = (
    "name user question context answer label review product city date "
    "topic style tone language audience format length persona task goal"
).split()
_OPTIONS = (
    "yes no good bad short long formal casual positive negative neutral "
    "en fr de es it ja zh one two three high low"
).split()


def _prose(rng, target_bytes, non_ascii_share):
    """Words and punctuation until at least ``target_bytes`` of UTF-8."""
    words = []
    size = 0
    while size < target_bytes:
        pool = _NON_ASCII_WORDS if rng.random() < non_ascii_share else _ASCII_WORDS
        word = rng.choice(pool) + rng.choice(_PUNCTUATION)
        if rng.random() < 0.02:
            word += "\n"
        words.append(word)
        size += len(word.encode()) + 1
    return " ".join(words)


def _placeholder(rng, options):
    name = rng.choice(_NAMES) + "_" + str(rng.randrange(1000))
    if options == 0:
        return "[" + name + "]"
    chosen = [rng.choice(_OPTIONS) for _ in range(options)]
    return "[" + name + "|" + rng.choice(",#").join(chosen) + "]"


def small(seed=SEED):
    """A realistic prompt: ~60 characters, 3 placeholders, one with options."""
    rng = random.Random(seed)
    first, second, third = rng.sample(_NAMES, 3)
    a, b = rng.sample(_OPTIONS, 2)
    return f"Dear [{first}], about [{second}]: answer in [{third}|{a},{b}] please."


def dense(seed=SEED, placeholders=1000):
    """1000 placeholders, each with options, and short text between them."""
    rng = random.Random(seed)
    parts = []
    for _ in range(placeholders):
        parts.append(" " + rng.choice(_ASCII_WORDS) + " ")
        parts.append(_placeholder(rng, rng.randint(1, 3)))
    parts.append(".")
    return "".join(parts)


def text_heavy(seed=SEED, total_bytes=2 * 1024 * 1024, spacing=4096):
    """2 MiB of UTF-8 prose, a quarter of it non-ASCII words, with a
    placeholder every ~4 KB."""
    rng = random.Random(seed)
    parts = []
    size = 0
    while True:
        placeholder = _placeholder(rng, rng.randint(0, 2))
        chunk = _prose(rng, spacing - len(placeholder), 0.25) + " "
        if size + len(chunk.encode()) + len(placeholder) >= total_bytes:
            break
        parts.append(chunk)
        parts.append(placeholder)
        size += len(chunk.encode()) + len(placeholder)
    # Fill up to exactly `total_bytes` with ASCII prose.
    tail = _prose(random.Random(seed + 1), total_bytes - size, 0.0)
    tail = tail.encode()[: total_bytes - size].decode("ascii")
    parts.append(tail)
    text = "".join(parts)
    assert len(text.encode()) == total_bytes
    return text


def escape_heavy(seed=SEED, total_bytes=256 * 1024):
    """256 KiB of short ASCII runs between the escapes \\[ \\] \\\\, with a
    placeholder every ~1 KB."""
    rng = random.Random(seed)
    escapes = ("\\[", "\\]", "\\\\")
    letters = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ 0123456789 .,:;|#"
    parts = []
    size = 0
    since_placeholder = 0
    while True:
        if since_placeholder >= 1024:
            piece = _placeholder(rng, rng.randint(0, 2))
            since_placeholder = 0
        elif rng.random() < 0.5:
            piece = rng.choice(escapes)
        else:
            piece = "".join(rng.choice(letters) for _ in range(rng.randint(1, 12)))
        if size + len(piece) > total_bytes:
            break
        parts.append(piece)
        size += len(piece)
        since_placeholder += len(piece)
    parts.append("." * (total_bytes - size))
    return "".join(parts)


def small_4(seed=SEED):
    """A short prompt of about 60 characters with 4 placeholders, two of
    them with options."""
    rng = random.Random(seed)
    first, second, third, fourth = rng.sample(_NAMES, 4)
    a, b, c = rng.sample(_OPTIONS, 3)
    return f"Hi [{first}], re [{second}]: use [{third}|{a},{b}] as [{fourth}|{c}]."


def escape_dense(seed=SEED, total_bytes=256 * 1024):
    """256 KiB of words of 1 to 6 letters, each followed by one of the
    escapes \\\\ \\[ \\]: a text fragment broken every few bytes."""
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    escapes = ("\\\\", "\\[", "\\]")
    parts = []
    size = 0
    while True:
        piece = "".join(rng.choices(letters, k=rng.randint(1, 6))) + rng.choice(escapes)
        if size + len(piece) > total_bytes:
            break
        parts.append(piece)
        size += len(piece)
    parts.append("x" * (total_bytes - size))
    text = "".join(parts)
    assert len(text) == total_bytes
    return text


def _cjk_word(rng, low, high):
    # CJK Unified Ideographs: 3 bytes each in UTF-8.
    return "".join(chr(rng.randint(0x4E00, 0x9FA5)) for _ in range(rng.randint(low, high)))


def cjk(seed=SEED, characters=2300):
    """About 2,300 characters of CJK words of 2 to 8 characters, separated
    by spaces, with a placeholder after every third word whose name and two
    options are CJK words too."""
    rng = random.Random(seed)
    parts = []
    length = 0
    words = 0
    while length < characters:
        word = _cjk_word(rng, 2, 8) + " "
        words += 1
        if words % 3 == 0:
            word += ("[" + _cjk_word(rng, 2, 4) + "|" + _cjk_word(rng, 2, 4)
                     + rng.choice(",#") + _cjk_word(rng, 2, 4) + "] ")
        parts.append(word)
        length += len(word)
    return "".join(parts)


def long_mixed(seed=SEED, total_bytes=20 * 1024, placeholders=4):
    """About 20 KB of mixed-script prose, a quarter of its words non-ASCII,
    cut by 4 placeholders (two with options): 9 fragments, each text about
    4 KB."""
    rng = random.Random(seed)
    spacing = total_bytes // (placeholders + 1)
    parts = [_prose(rng, spacing, 0.25)]
    for i in range(placeholders):
        parts.append(" " + _placeholder(rng, i % 2) + " ")
        parts.append(_prose(rng, spacing, 0.25))
    return "".join(parts)


WORKLOADS = {
    "small": small,
    "dense": dense,
    "text-heavy": text_heavy,
    "escape-heavy": escape_heavy,
    "small-4": small_4,
    "escape-dense": escape_dense,
    "cjk": cjk,
    "long-mixed": long_mixed,
}


def to_format_string(template):
    """The same template in the str.format grammar.

    The two grammars are mapped onto each other by their brackets: a
    placeholder [name|a,b] becomes {name:a,b} (the options travel after the
    colon), an escaped square bracket becomes the doubled curly
    bracket, and an escaped backslash a plain backslash (str.format has no
    backslash escape). A literal curly bracket in the text would be doubled,
    but the workloads hold none.
    """
    out = []
    i = 0
    n = len(template)
    while i < n:
        c = template[i]
        if c == "\\":
            nxt = template[i + 1]
            out.append({"[": "{{", "]": "}}", "\\": "\\"}[nxt])
            i += 2
        elif c == "[":
            close = template.index("]", i)
            body = template[i + 1 : close]
            name, bar, options = body.partition("|")
            out.append("{" + name + (":" + options if bar and options else "") + "}")
            i = close + 1
        elif c in "{}":
            out.append(c + c)
            i += 1
        else:
            out.append(c)
            i += 1
    return "".join(out)
