#include "module/escape_operation.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/internal_fault.hpp"
#include "core/allocator.hpp"
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

// The escaped text of a str, in the str's own form (one, two or four bytes
// per character): written in one pass to scratch room for the most it can
// be, then copied into a str of its size. The room is on the stack up to
// 8 KiB (a text of 4,096 one-byte, 2,048 two-byte or 1,024 four-byte
// characters). Only ASCII is added, so the result is made for the same
// widest character as the text and is of the same form.
template <class Unit>
Owned escape_units(PyObject* text, Py_UCS4 widest) {
    const auto* units = static_cast<const Unit*>(PyUnicode_DATA(text));
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    ScratchBuffer<Unit, 8192 / sizeof(Unit)> room(2 * length);
    std::optional<Unit*> end;
    if constexpr (sizeof(Unit) == 1) {
        end = write_escaped(room.data(), std::string_view(units, length));
    } else {
        end = write_escaped(room.data(), std::span<const Unit>(units, length));
    }
    if (!end) {
        // A lone surrogate: raises as its UTF-8 encoding does, as in parse.
        text_view(text);
        throw_fault("a str holding a surrogate had a UTF-8 form");
    }
    const auto size = static_cast<std::size_t>(*end - room.data());
    if (size == length) {
        // The str itself, or an exact str equal to a subclass's.
        Owned same = Owned::steal(PyUnicode_FromObject(text));
        if (!same) throw_fetched();
        return same;
    }
    Owned escaped = Owned::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), widest));
    if (!escaped) throw_fetched();
    std::memcpy(PyUnicode_DATA(escaped.get()), room.data(), size * sizeof(Unit));
    return escaped;
}

}  // namespace

Owned escape_operation(PyObject* const* arguments, Py_ssize_t positional_count,
                       PyObject* keyword_names) {
    const BoundArguments bound =
        bind_vector(kEscapeParameters, arguments, positional_count, keyword_names);
    PyObject* const text = bound[0].get();
    if (!PyUnicode_Check(text)) convert_argument("text", [&] { return text_view(text); });
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
