#include "module/escape_operation.hpp"

#include <string_view>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
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

// Whether the units hold a surrogate, which only the 2- and 4-byte forms
// can.
template <class Unit>
bool has_surrogate(std::basic_string_view<Unit> units) noexcept {
    bool found = false;
    for (const Unit unit : units) found |= unit - 0xd800u < 0x800u;
    return found;
}

// The escaped text of `text`, whose units are `Unit`s, made in the str's own
// form: only ASCII is added, so the result has the same widest character.
template <class Unit>
Owned escape_units(PyObject* text, Py_UCS4 widest) {
    const std::basic_string_view<Unit> units(static_cast<const Unit*>(PyUnicode_DATA(text)),
                                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    if constexpr (sizeof(Unit) > 1) {
        // The same input rule as parse: the UTF-8 conversion raises for it.
        if (has_surrogate(units)) text_view(text);
    }
    const std::size_t size = escaped_size(units);
    if (size == units.size()) {
        // The str itself, or an exact str equal to a subclass's.
        Owned same = Owned::steal(PyUnicode_FromObject(text));
        if (!same) throw_fetched();
        return same;
    }
    Owned escaped = Owned::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), widest));
    if (!escaped) throw_fetched();
    write_escaped(static_cast<Unit*>(PyUnicode_DATA(escaped.get())), units);
    return escaped;
}

}  // namespace

Owned escape_operation(PyObject* const* arguments, Py_ssize_t positional_count,
                       PyObject* keyword_names) {
    const BoundArguments bound =
        bind_vector(kEscapeParameters, arguments, positional_count, keyword_names);
    PyObject* const text = bound[0].get();
    // The escape is made from the str's own units, not from UTF-8: a long
    // text then costs a scan and a copy, with no encoding either way.
    if (!PyUnicode_Check(text)) convert_argument("text", [&] { return text_view(text); });
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) throw_fetched();
#endif
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return escape_units<Py_UCS1>(text, PyUnicode_IS_ASCII(text) ? 0x7f : 0xff);
        case PyUnicode_2BYTE_KIND:
            return escape_units<Py_UCS2>(text, 0xffff);
        default:
            return escape_units<Py_UCS4>(text, 0x10ffff);
    }
}

}  // namespace frasolet
