#include "module/escape_operation.hpp"

#include <memory>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
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

// The escaped text of a str that keeps one byte per character, made from
// those bytes in the same form: only ASCII is added.
Owned escape_bytes(PyObject* text) {
    const std::basic_string_view<Py_UCS1> units(
        PyUnicode_1BYTE_DATA(text), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    const std::size_t size = escaped_size(units);
    if (size == units.size()) {
        // The str itself, or an exact str equal to a subclass's.
        Owned same = Owned::steal(PyUnicode_FromObject(text));
        if (!same) throw_fetched();
        return same;
    }
    Owned escaped = Owned::steal(
        PyUnicode_New(static_cast<Py_ssize_t>(size), PyUnicode_IS_ASCII(text) ? 0x7f : 0xff));
    if (!escaped) throw_fetched();
    write_escaped(PyUnicode_1BYTE_DATA(escaped.get()), units);
    return escaped;
}

// The escaped text of any other str, through its UTF-8 form (which raises
// for a lone surrogate, as parse does).
Owned escape_utf8(PyObject* text) {
    const std::string_view utf8 = text_view(text);
    const std::size_t size = escaped_size(utf8);
    if (size == utf8.size()) return make_str(utf8);
    CoreAllocator<char> allocator;
    const auto release = [&](char* buffer) { allocator.deallocate(buffer, size); };
    const std::unique_ptr<char, decltype(release)> buffer(allocator.allocate(size), release);
    write_escaped(buffer.get(), utf8);
    return make_str(std::string_view(buffer.get(), size));
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
    // A str of one byte per character (ASCII, Latin-1) is escaped in its
    // own form: a scan and a copy, with no encoding either way.
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) return escape_bytes(text);
    return escape_utf8(text);
}

}  // namespace frasolet
