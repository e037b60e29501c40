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


def _escape(text):
    """What frasolet.escape gives, in plain Python: a backslash before every
    backslash and square bracket."""
    return text.replace("\\", "\\\\").replace("[", "\\[").replace("]", "\\]")


def _json_document(rng, records):
    """JSON of records with nested lists and strings that hold quotes,
    backslashes and brackets, as json.dumps writes it."""
    import json

    rows = []
    for i in range(records):
        rows.append({
            "id": i,
            "name": " ".join(rng.choice(_ASCII_WORDS) for _ in range(rng.randint(1, 3))),
            "tags": [rng.choice(_OPTIONS) for _ in range(rng.randint(0, 4))],
            "scores": [round(rng.random(), 3) for _ in range(rng.randint(1, 3))],
            "note": rng.choice(('say "hi"', "a\\b", "[draft]", "ok", "x\ty", "")),
        })
    return json.dumps(rows, indent=1)


def escaped_json(seed=SEED, records=120):
    """About 16 KB: JSON made literal with escape() (every bracket and
    backslash of it escaped, about one escape per 20 bytes) between two
    placeholders."""
    rng = random.Random(seed)
    return ("Given the records [source|db,api]:\n" + _escape(_json_document(rng, records))
            + "\nanswer the [question]")


def escaped_paths(seed=SEED, lines=300):
    """About 16 KB of Windows paths made literal with escape() (each
    backslash doubled), one a line, after a placeholder."""
    rng = random.Random(seed)
    roots = ("C:", "D:", "\\\\server\\share")
    out = []
    for _ in range(lines):
        parts = [rng.choice(roots)] + [rng.choice(_ASCII_WORDS).capitalize()
                                       for _ in range(rng.randint(2, 6))]
        out.append("\\".join(parts) + rng.choice((".txt", ".json", ".py", "")))
    return "Files of [user]:\n" + _escape("\n".join(out))


def _escape_input(rng, pool, characters):
    """Words from `pool` with brackets and backslashes between some of them,
    until `characters` characters: text for escape()."""
    words = []
    length = 0
    while length < characters:
        word = rng.choice(pool) + rng.choice((" ", " ", " ", ", ", " [", "] ", "\\"))
        words.append(word)
        length += len(word)
    return "".join(words)[:characters]


def escape_ascii(seed=SEED):
    """1,400 ASCII characters of words with a bracket or backslash every
    few words: a one-byte str."""
    return _escape_input(random.Random(seed), _ASCII_WORDS, 1400)


def escape_latin1(seed=SEED):
    """1,400 characters of Latin-1 words (accented letters in every word):
    a one-byte str."""
    words = ("über façade naïve crème brûlée smörgåsbord jalapeño déjà señor "
             "garçon à la carte île Øre Ægir þorn").split()
    return _escape_input(random.Random(seed), words, 1400)


def escape_cjk(seed=SEED):
    """720 CJK characters in words of 2 to 8: a two-byte str."""
    rng = random.Random(seed)
    return _escape_input(rng, [_cjk_word(rng, 2, 8) for _ in range(200)], 720)


def escape_emoji(seed=SEED):
    """720 characters of ASCII words and emoji: a four-byte str."""
    rng = random.Random(seed)
    pool = _ASCII_WORDS + ["🙂", "🚀", "✨", "🎉🎉", "👍", "🔥"] * 5
    return _escape_input(rng, pool, 720)


WORKLOADS = {
    "small": small,
    "dense": dense,
    "text-heavy": text_heavy,
    "escape-heavy": escape_heavy,
    "small-4": small_4,
    "escape-dense": escape_dense,
    "cjk": cjk,
    "long-mixed": long_mixed,
    "escaped-json": escaped_json,
    "escaped-paths": escaped_paths,
}

# Texts for escape(), each also parsed back after escaping: not templates.
ESCAPE_INPUTS = {
    "escape-ascii": escape_ascii,
    "escape-latin1": escape_latin1,
    "escape-cjk": escape_cjk,
    "escape-emoji": escape_emoji,
}


ALL_WORKLOADS = {**WORKLOADS, **ESCAPE_INPUTS}


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
