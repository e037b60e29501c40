#include "module/escape_operation.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/internal_fault.hpp"
#include "core/escape.hpp"

namespace frasolet {

using namespace binding;

const char* const kEscapeDoc =
    "escape(text)\n--\n\n"
    "Escape text for a frasolet template\n\n"
    "Puts a backslash before every backslash and square bracket, so that the\n"
    "template reads back as exactly ``text``: one text fragment, or none for\n"
    "the empty text. ``|``, ``#`` and ``,`` are left as they are.\n\n"
    "Args:\n"
    "    text (:obj:`str`):\n"
    "        The literal text.\n"
    "\nReturns:\n"
    "    :obj:`str`: The template text";

namespace {

constexpr Parameters kEscapeParameters{.function = "escape", .names = {"text"}, .required = 1};

// Writes the escaped form of `length` units to `out` (see write_escaped).
template <class Unit>
std::optional<Unit*> write_units(Unit* out, const Unit* units, std::size_t length) {
    if constexpr (sizeof(Unit) == 1) {
        return write_escaped(out, std::string_view(units, length));
    } else {
        return write_escaped(out, std::span<const Unit>(units, length));
    }
}

// A lone surrogate: raises as its UTF-8 encoding does, as in parse.
[[noreturn]] void raise_for_surrogate(PyObject* text) {
    text_view(text);
    throw_fault("a str holding a surrogate had a UTF-8 form");
}

// The str itself, or an exact str equal to a subclass's.
Owned same_text(PyObject* text) {
    Owned same = Owned::steal(PyUnicode_FromObject(text));
    if (!same) throw_fetched();
    return same;
}

// The escaped text of a str, in the str's own form (one, two or four bytes
// per character). Only ASCII is added, so the result is made for the same
// widest character as the text and is of the same form. A text of up to
// 4,096 bytes is written in one pass to scratch room on the stack for the
// most it can be, then copied into a str of its size; a longer one is
// counted first and written into its str directly, so that it needs no
// room beyond the result.
template <class Unit>
Owned escape_units(PyObject* text, Py_UCS4 widest) {
    const auto* units = static_cast<const Unit*>(PyUnicode_DATA(text));
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    constexpr std::size_t kRoom = 8192 / sizeof(Unit);
    const auto make = [&](std::size_t size) {
        Owned escaped = Owned::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), widest));
        if (!escaped) throw_fetched();
        return escaped;
    };
    if (length <= kRoom / 2) {
        Unit room[kRoom];
        const std::optional<Unit*> end = write_units(room, units, length);
        if (!end) raise_for_surrogate(text);
        const auto size = static_cast<std::size_t>(*end - room);
        if (size == length) return same_text(text);
        Owned escaped = make(size);
        std::memcpy(PyUnicode_DATA(escaped.get()), room, size * sizeof(Unit));
        return escaped;
    }
    const std::optional<std::size_t> escapes = count_escapes(std::span<const Unit>(units, length));
    if (!escapes) raise_for_surrogate(text);
    if (*escapes == 0) return same_text(text);
    Owned escaped = make(length + *escapes);
    write_units(static_cast<Unit*>(PyUnicode_DATA(escaped.get())), units, length);
    return escaped;
}

}  // namespace

Owned escape_operation(PyObject* const* arguments, Py_ssize_t positional_count,
                       PyObject* keyword_names) {
    const BoundArguments bound =
        bind_vector(kEscapeParameters, arguments, positional_count, keyword_names);
    PyObject* const text = bound[0].get();
    convert_argument("text", [&] { check_str(text); });
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) throw_fetched();
#endif
    // A str is escaped in its own form (one, two or four bytes per
    // character): a scan and a copy, with no encoding either way.
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return escape_units<char>(text, PyUnicode_IS_ASCII(text) ? 0x7f : 0xff);
        case PyUnicode_2BYTE_KIND:
            return escape_units<Py_UCS2>(text, 0xffff);
        default:
            return escape_units<Py_UCS4>(text, 0x10ffff);
    }
}

}  // namespace frasolet
