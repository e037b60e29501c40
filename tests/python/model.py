"""A pure-Python reference model of frasolet.

The model is written from the rules of the template language and of the
Python surface, independently of the extension: it never imports it.  It
has two layers.

* The template language: ``parse`` (the lenient grammar), ``text_form``,
  ``representation`` and ``fragment_hash`` (SipHash-1-3 with a zero key over
  the UTF-8 text form followed by 0xFF).  Fragments are plain pairs
  ``(string, options)`` where ``options`` is ``None`` or a list of str.

* The objects: ``FragmentModel``, ``TemplateModel`` and ``IteratorModel``
  have the same Python surface as ``PromptFragment``, ``PromptTemplate`` and
  ``PromptFragmentIter`` (constructors, properties, ``__getstate__`` and
  ``__setstate__``, ``__reduce__``, ``str``, ``repr``, ``hash``, ``len``,
  indexing, iteration, pickling) and raise the same exceptions with the same messages,
  in the same order of checks, including the borrow flag that refuses
  re-entry from Python code run by a conversion.  Tests drive a real object
  and its model with the same operations and compare what comes out.

Where the rules leave a choice to the implementation (an index at or past
the end), the model follows the choice the module documents: ``IndexError``.
"""

import copyreg
import ctypes
import operator
import re

__all__ = [
    "parse",
    "read_length",
    "stop_message",
    "TemplateSyntaxError",
    "escape",
    "text_form",
    "representation",
    "siphash13",
    "fragment_hash",
    "text_hash",
    "FragmentModel",
    "TemplateModel",
    "IteratorModel",
    "MISSING",
    "DELETE",
]

# ---------------------------------------------------------------------------
# Template language

# A text run: anything but the three characters that end it.
_TEXT_RUN = re.compile(r"[^\\\[\]]+")
# A mask name or an option: anything outside the name stop set.
_NAME = re.compile(r"[^\[\]|#,]+")
# A separator run.
_SEPARATORS = re.compile(r"[#,]+")
_ESCAPABLE = frozenset("\\[]")


def _option_list(text, pos):
    """Reads an option list at ``pos`` (right after ``|``).

    Returns the position where the list ends and the options.  It never
    fails: an empty first option gives an empty list ending at ``pos``, and
    a separator run with no option after it stays unconsumed.
    """
    first = _NAME.match(text, pos)
    if first is None:
        return pos, []
    options = [first.group()]
    pos = first.end()
    while True:
        separators = _SEPARATORS.match(text, pos)
        if separators is None:
            return pos, options
        option = _NAME.match(text, separators.end())
        if option is None:
            return pos, options
        options.append(option.group())
        pos = option.end()


def _placeholder(text, pos):
    """Tries a placeholder at ``pos`` (which holds ``[``).

    Returns ``(end, name, options)`` or ``None`` when it does not match.
    """
    name = _NAME.match(text, pos + 1)
    if name is None:
        return None
    pos = name.end()
    options = []
    if pos < len(text) and text[pos] == "|":
        pos, options = _option_list(text, pos + 1)
    if pos < len(text) and text[pos] == "]":
        return pos + 1, name.group(), options
    return None


def parse(text):
    """The fragments of ``text`` as a list of ``(string, options)`` pairs.

    Text fragments have ``options`` ``None``; placeholders have a list.
    Adjacent text (runs and escapes) merges into one fragment.  The parse
    stops silently at the first position where no piece matches.
    """
    return _read(text)[0]


def read_length(text):
    """How many characters of ``text`` the parse reads before it stops."""
    return _read(text)[1]


def _read(text):
    fragments = []
    pending = []  # pieces of the text fragment being built, joined once

    def flush():
        if pending:
            fragments.append(("".join(pending), None))
            pending.clear()

    pos = 0
    end = len(text)
    while pos < end:
        char = text[pos]
        if char == "\\":
            if pos + 1 < end and text[pos + 1] in _ESCAPABLE:
                pending.append(text[pos + 1])
                pos += 2
                continue
            break
        if char == "[":
            match = _placeholder(text, pos)
            if match is None:
                break
            flush()
            pos, name, options = match
            fragments.append((name, options))
            continue
        if char == "]":
            break
        run = _TEXT_RUN.match(text, pos)
        pending.append(run.group())
        pos = run.end()
    flush()
    return fragments, pos


_LITERAL_BRACKET = " (write \\[ for a literal '[')"
_CONTROL_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _found(text, at):
    """The character at ``at`` as a message names it, or the end of the text."""
    if at >= len(text):
        return "Found the end of the text"
    char = text[at]
    if char in _CONTROL_ESCAPES:
        shown = _CONTROL_ESCAPES[char]
    elif char < " " or char == "\x7f":
        shown = f"\\x{ord(char):02x}"
    else:
        shown = char
    quote = '"' if char == "'" else "'"
    return f"Found {quote}{shown}{quote}"


def stop_report(text, start):
    """Why the parse of ``text`` stops at ``start`` (before its end), and
    the position of the character no rule takes: ``(msg, pos)``."""
    if text[start] == "]":
        return (_found(text, start) + " outside a placeholder, expected text or '['"
                " (write \\] for a literal ']')"), start
    if text[start] == "\\":
        return (_found(text, start + 1) + " after a backslash, expected \\, [ or ]"
                " (write \\\\ for a literal backslash)"), min(start + 1, len(text))
    name = _NAME.match(text, start + 1)
    if name is None:
        return (_found(text, start + 1) + " after '[', expected a mask name"
                + _LITERAL_BRACKET), start + 1
    at = name.end()
    if at == len(text) or text[at] != "|":
        return (_found(text, at) + " after the mask name, expected '|' or ']'"
                + _LITERAL_BRACKET), at
    end, _ = _option_list(text, at + 1)
    if end < len(text) and text[end] in "#," and end > at + 1:
        after = _SEPARATORS.match(text, end).end()
        return (_found(text, after) + " after a separator, expected an option"
                + _LITERAL_BRACKET), after
    if end == at + 1:
        return (_found(text, end) + " right after '|', expected an option or ']'"
                + _LITERAL_BRACKET), end
    return (_found(text, end) + " after an option, expected a separator or ']'"
            + _LITERAL_BRACKET), end


def stop_message(text, start):
    """Why the parse of ``text`` stops at ``start`` (before its end)."""
    return stop_report(text, start)[0]


class TemplateSyntaxError(ValueError):
    """What a strict parse raises, made as json.JSONDecodeError is, with
    ``start`` where the parse stopped and ``pos`` the character that stopped it."""

    def __init__(self, msg, doc, pos, start=None):
        lineno = doc.count("\n", 0, pos) + 1
        colno = pos - doc.rfind("\n", 0, pos)
        super().__init__(f"{msg}: line {lineno} column {colno} (char {pos})")
        self.msg, self.doc, self.pos, self.lineno, self.colno = msg, doc, pos, lineno, colno
        self.start = pos if start is None else start

    def __reduce__(self):
        return type(self), (self.msg, self.doc, self.pos, self.start), self.__dict__


def strict_parse(text, doc):
    """``parse``, raising TemplateSyntaxError for ``doc`` where it stops early."""
    fragments, length = _read(text)
    if length < len(text):
        msg, pos = stop_report(text, length)
        raise TemplateSyntaxError(msg, doc, pos, length)
    return fragments


def escape(text):
    text = with_argument_prefix("text", to_text, text)
    return text.replace("\\", "\\\\").replace("[", "\\[").replace("]", "\\]")


def text_form(string, options):
    """``string`` alone, ``[string]``, or ``[string|a,b,...]``; nothing escaped."""
    if options is None:
        return string
    if not options:
        return "[" + string + "]"
    return "[" + string + "|" + ",".join(options) + "]"


def representation(string, options):
    """``"string"`` for a text fragment, ``[string]`` for any placeholder."""
    if options is None:
        return '"' + string + '"'
    return "[" + string + "]"


_MASK = (1 << 64) - 1


def siphash13(data, k0=0, k1=0):
    """SipHash-1-3 of ``data`` (bytes) as an unsigned 64-bit int."""
    v0 = k0 ^ 0x736F6D6570736575
    v1 = k1 ^ 0x646F72616E646F6D
    v2 = k0 ^ 0x6C7967656E657261
    v3 = k1 ^ 0x7465646279746573

    def rounds(v0, v1, v2, v3, count):
        for _ in range(count):
            v0 = (v0 + v1) & _MASK
            v1 = ((v1 << 13) | (v1 >> 51)) & _MASK
            v1 ^= v0
            v0 = ((v0 << 32) | (v0 >> 32)) & _MASK
            v2 = (v2 + v3) & _MASK
            v3 = ((v3 << 16) | (v3 >> 48)) & _MASK
            v3 ^= v2
            v0 = (v0 + v3) & _MASK
            v3 = ((v3 << 21) | (v3 >> 43)) & _MASK
            v3 ^= v0
            v2 = (v2 + v1) & _MASK
            v1 = ((v1 << 17) | (v1 >> 47)) & _MASK
            v1 ^= v2
            v2 = ((v2 << 32) | (v2 >> 32)) & _MASK
        return v0, v1, v2, v3

    length = len(data)
    whole = length - length % 8
    for offset in range(0, whole, 8):
        word = int.from_bytes(data[offset : offset + 8], "little")
        v3 ^= word
        v0, v1, v2, v3 = rounds(v0, v1, v2, v3, 1)
        v0 ^= word
    last = ((length & 0xFF) << 56) | int.from_bytes(data[whole:], "little")
    v3 ^= last
    v0, v1, v2, v3 = rounds(v0, v1, v2, v3, 1)
    v0 ^= last
    v2 ^= 0xFF
    v0, v1, v2, v3 = rounds(v0, v1, v2, v3, 3)
    return v0 ^ v1 ^ v2 ^ v3


def text_hash(text):
    """The Python hash of a text form: signed SipHash-1-3, -1 becoming -2."""
    digest = siphash13(text.encode("utf-8") + b"\xff")
    value = digest - (1 << 64) if digest >= 1 << 63 else digest
    return -2 if value == -1 else value


def fragment_hash(string, options):
    return text_hash(text_form(string, options))


# ---------------------------------------------------------------------------
# Conversions at the boundary, as the interpreter sees them


class _Marker:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


MISSING = _Marker("MISSING")  # an argument that was not given
DELETE = _Marker("DELETE")  # a property setter called for deletion

_UNKNOWN_TYPE_NAME = "<failed to extract type name>"

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int


def is_sequence(value):
    """The interpreter's own sequence check (a dict never passes)."""
    return bool(_sequence_check(value))


def type_name(value):
    model_name = getattr(type(value), "_model_type_name", None)
    if isinstance(model_name, str) and isinstance(value, _ModelObject):
        return model_name
    try:
        name = type(value).__qualname__
    except BaseException:  # the module clears whatever reading it raised
        return _UNKNOWN_TYPE_NAME
    if not issubclass(type(name), str):
        return _UNKNOWN_TYPE_NAME
    try:
        return str.encode(name, "utf-8").decode("utf-8")
    except UnicodeEncodeError:
        return _UNKNOWN_TYPE_NAME


def conversion_error(value, target):
    return TypeError(f"'{type_name(value)}' object cannot be converted to '{target}'")


def to_flag(value):
    """True or False, nothing else."""
    if type(value) is not bool:
        raise conversion_error(value, "PyBool")
    return value


def to_text(value):
    """A str (or subclass) read by value: its own methods are not called."""
    if not issubclass(type(value), str):
        raise conversion_error(value, "PyString")
    return str.encode(value, "utf-8").decode("utf-8")


def lenient_text(value):
    text = str(value)
    try:
        return str.encode(text, "utf-8").decode("utf-8")
    except UnicodeEncodeError:
        return str.encode(text, "utf-8", "surrogatepass").decode("utf-8", "replace")


def check_list(value):
    if not issubclass(type(value), list):
        raise conversion_error(value, "PyList")


def check_dict(value):
    if not issubclass(type(value), dict):
        raise conversion_error(value, "PyDict")


def to_list(value, convert_item):
    """Sequence conversion: check, ask the length (only to size), iterate."""
    if not is_sequence(value):
        raise conversion_error(value, "Sequence")
    try:
        len(value)
    except BaseException:  # a failing length never fails the conversion
        pass
    return [convert_item(item) for item in iter(value)]


def to_index(value):
    integer = operator.index(value)
    if integer < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if integer >= 1 << 64:
        raise OverflowError("int too big to convert")
    return integer


def with_argument_prefix(name, convert, value):
    """Runs a named argument's conversion; an exact TypeError gets the prefix."""
    try:
        return convert(value)
    except TypeError as error:
        if type(error) is not TypeError:
            raise
        prefixed = TypeError(f"argument '{name}': {lenient_text(error)}")
        prefixed.__cause__ = error.__cause__
        raise prefixed from error.__cause__


def _name_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(owner, function, names, required, args, keywords, keyword_only=0):
    """Binds ``args`` and the ``(name, value)`` pairs of ``keywords``.

    The last ``keyword_only`` names take keywords only. Returns one value per
    parameter, ``MISSING`` where none was given, or raises the binding
    TypeError.
    """
    display = f"{owner}.{function}()" if owner else f"{function}()"
    count = len(names) - keyword_only
    given = len(args)
    if given > count:
        verb = "was" if given == 1 else "were"
        if required == count:
            takes = f"takes {count}"
        else:
            takes = f"takes from {required} to {count}"
        raise TypeError(f"{display} {takes} positional arguments but {given} {verb} given")
    slots = list(args) + [MISSING] * (len(names) - given)
    encoded_names = [name.encode("utf-8") for name in names]
    for keyword, value in keywords:
        try:
            encoded = str.encode(keyword, "utf-8")
        except UnicodeEncodeError:
            encoded = None
        if encoded in encoded_names:
            index = encoded_names.index(encoded)
            if slots[index] is not MISSING:
                raise TypeError(f"{display} got multiple values for argument '{names[index]}'")
            slots[index] = value
            continue
        raise TypeError(
            f"{display} got an unexpected keyword argument '{lenient_text(keyword)}'"
        )
    missing = [names[i] for i in range(given, required) if slots[i] is MISSING]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        raise TypeError(
            f"{display} missing {len(missing)} required positional {word}: {_name_list(missing)}"
        )
    return slots


# ---------------------------------------------------------------------------
# Objects


class _Borrow:
    """The borrow flag: 0 free, n > 0 shared borrows, -1 exclusive."""

    __slots__ = ("owner", "exclusive")

    def __init__(self, owner, exclusive):
        self.owner = owner
        self.exclusive = exclusive

    def __enter__(self):
        flag = self.owner._flag
        if self.exclusive:
            if flag != 0:
                raise RuntimeError("Already borrowed")
            self.owner._flag = -1
        else:
            if flag == -1:
                raise RuntimeError("Already mutably borrowed")
            self.owner._flag = flag + 1
        return self

    def __exit__(self, *exc):
        if self.exclusive:
            self.owner._flag = 0
        else:
            self.owner._flag -= 1
        return False


class _ModelObject:
    __slots__ = ("_flag",)
    _model_type_name = None

    def _shared(self):
        return _Borrow(self, False)

    def _exclusive(self):
        return _Borrow(self, True)


def _parse_entry(owner):
    def parse_entry(*args, **keywords):
        template, strict = bind(owner, "parse", ("template", "strict"), 1, args,
                                keywords.items(), keyword_only=1)
        text = with_argument_prefix("template", to_text, template)
        if strict is not MISSING and with_argument_prefix("strict", to_flag, strict):
            fragments = strict_parse(text, template)
        else:
            fragments = parse(text)
        return [FragmentModel._make(string, options) for string, options in fragments]

    return parse_entry


module_parse = _parse_entry(None)
module_parse.__doc__ = """The module-level ``parse``."""


class FragmentModel(_ModelObject):
    """The model of ``PromptFragment``."""

    __slots__ = ("_string", "_options")
    _model_type_name = "PromptFragment"

    @classmethod
    def _make(cls, string, options):
        instance = object.__new__(cls)
        instance._flag = 0
        instance._string = string
        instance._options = None if options is None else list(options)
        return instance

    def __new__(cls, /, *args, **keywords):
        string, option = bind("PromptFragment", "__new__", ("string", "option"), 0, args,
                              keywords.items())
        text = ""
        if string is not MISSING and string is not None:
            text = with_argument_prefix("string", to_text, string)
        options = None
        if option is not MISSING and option is not None:
            with_argument_prefix("option", check_list, option)
            options = to_list(option, to_text)
        return cls._make(text, options)

    parse = staticmethod(_parse_entry("PromptFragment"))

    # Reads of the record, for tests: no borrow, no conversion.
    @property
    def fields(self):
        return self._string, None if self._options is None else list(self._options)

    def _get_string(self):
        with self._shared():
            return self._string

    def _set_string(self, value):
        with self._exclusive():
            if value is DELETE:
                raise AttributeError("can't delete attribute")
            self._string = to_text(value)

    def _del_string(self):
        self._set_string(DELETE)

    string = property(_get_string, _set_string, _del_string)

    def _get_options(self):
        with self._shared():
            return None if self._options is None else list(self._options)

    def _set_options(self, value):
        with self._exclusive():
            if value is DELETE:
                raise AttributeError("can't delete attribute")
            self._options = None if value is None else to_list(value, to_text)

    def _del_options(self):
        self._set_options(DELETE)

    options = property(_get_options, _set_options, _del_options)

    def __getstate__(self, /, *args, **keywords):
        with self._shared():
            bind("PromptFragment", "__getstate__", (), 0, args, keywords.items())
            state = {"string": self._string}
            if self._options is not None:
                state["options"] = list(self._options)
            return state

    def __setstate__(self, /, *args, **keywords):
        with self._exclusive():
            (state,) = bind("PromptFragment", "__setstate__", ("state",), 1, args,
                            keywords.items())
            check_dict(state)
            for key, value in dict.items(state):
                name = to_text(key)
                if name == "string":
                    self._string = to_text(value)
                elif name == "options":
                    self._options = to_list(value, to_text)
        return None

    def __str__(self):
        with self._shared():
            return text_form(self._string, self._options)

    def __repr__(self):
        with self._shared():
            return representation(self._string, self._options)

    def __hash__(self):
        with self._shared():
            return fragment_hash(self._string, self._options)


def _extract_fragment(item):
    """Fragment extraction: a copy of a fragment's record under a shared borrow."""
    if not isinstance(item, FragmentModel):
        raise conversion_error(item, "PromptFragment")
    with item._shared():
        return item._string, None if item._options is None else list(item._options)


class TemplateModel(_ModelObject):
    """The model of ``PromptTemplate``."""

    __slots__ = ("_tokenizer", "_fragments")
    _model_type_name = "PromptTemplate"

    def __new__(cls, /, *args, **keywords):
        template, tokenizer, strict = bind("PromptTemplate", "__new__",
                                           ("template", "tokenizer", "strict"), 2, args,
                                           keywords.items(), keyword_only=1)
        text = "" if template is None else with_argument_prefix("template", to_text, template)
        if strict is not MISSING and with_argument_prefix("strict", to_flag, strict):
            fragments = strict_parse(text, template)
        else:
            fragments = parse(text)
        instance = object.__new__(cls)
        instance._flag = 0
        instance._tokenizer = tokenizer
        instance._fragments = fragments
        return instance

    parse = staticmethod(_parse_entry("PromptTemplate"))

    @property
    def fields(self):
        return [(s, None if o is None else list(o)) for s, o in self._fragments]

    def _text(self):
        return "".join(text_form(s, o) for s, o in self._fragments)

    def _get_tokenizer(self):
        with self._shared():
            return self._tokenizer

    def _set_tokenizer(self, value):
        with self._exclusive():
            if value is DELETE:
                raise AttributeError("can't delete attribute")
            self._tokenizer = value

    def _del_tokenizer(self):
        self._set_tokenizer(DELETE)

    tokenizer = property(_get_tokenizer, _set_tokenizer, _del_tokenizer)

    def _get_fragments(self):
        with self._shared():
            return [FragmentModel._make(s, o) for s, o in self._fragments]

    def _set_fragments(self, value):
        with self._exclusive():
            if value is DELETE:
                raise AttributeError("can't delete attribute")
            self._fragments = to_list(value, _extract_fragment)

    def _del_fragments(self):
        self._set_fragments(DELETE)

    fragments = property(_get_fragments, _set_fragments, _del_fragments)

    def __getstate__(self, /, *args, **keywords):
        with self._shared():
            bind("PromptTemplate", "__getstate__", (), 0, args, keywords.items())
            return {"template": self._text()}

    def __setstate__(self, /, *args, **keywords):
        with self._exclusive():
            (state,) = bind("PromptTemplate", "__setstate__", ("state",), 1, args,
                            keywords.items())
            if isinstance(state, tuple) and len(state) == 2:
                fragments, tokenizer = state
                self._fragments = to_list(fragments, _extract_fragment)
                self._tokenizer = tokenizer
                return None
            check_dict(state)
            for key, value in dict.items(state):
                if to_text(key) == "template":
                    self._fragments = parse(to_text(value))
        return None

    def __reduce__(self, /, *args, **keywords):
        with self._shared():
            bind("PromptTemplate", "__reduce__", (), 0, args, keywords.items())
            fragments = [FragmentModel._make(s, o) for s, o in self._fragments]
            return copyreg.__newobj__, (type(self), None, None), (fragments, self._tokenizer)

    def __str__(self):
        with self._shared():
            return self._text()

    __repr__ = __str__

    def __hash__(self):
        with self._shared():
            return text_hash(self._text())

    def __len__(self):
        with self._shared():
            return len(self._fragments)

    def __getitem__(self, key):
        with self._shared():
            index = to_index(key)
            if index >= len(self._fragments):
                raise IndexError("PromptTemplate index out of range")
            return FragmentModel._make(*self._fragments[index])

    def __iter__(self):
        with self._shared():
            return IteratorModel._make([(s, o) for s, o in self._fragments])


class IteratorModel(_ModelObject):
    """The model of ``PromptFragmentIter``."""

    __slots__ = ("_records",)
    _model_type_name = "PromptFragmentIter"

    @classmethod
    def _make(cls, records):
        instance = object.__new__(cls)
        instance._flag = 0
        instance._records = list(reversed(records))
        return instance

    def __new__(cls, /, *args, **keywords):
        raise TypeError("No constructor defined")

    @property
    def remaining(self):
        return [(s, o) for s, o in reversed(self._records)]

    def __iter__(self):
        with self._shared():
            return self

    def __next__(self):
        with self._exclusive():
            if not self._records:
                raise StopIteration(None)
            string, options = self._records.pop()
        return FragmentModel._make(string, options)
