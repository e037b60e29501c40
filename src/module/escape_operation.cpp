#include "module/escape_operation.hpp"

#include <memory>

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

}  // namespace

Owned escape_operation(PyObject* const* arguments, Py_ssize_t positional_count,
                       PyObject* keyword_names) {
    const BoundArguments bound =
        bind_vector(kEscapeParameters, arguments, positional_count, keyword_names);
    PyObject* const text_object = bound[0].get();
    const std::string_view text = convert_argument("text", [&] { return text_view(text_object); });
    const std::size_t size = escaped_size(text);
    if (size == text.size()) {
        if (PyUnicode_CheckExact(text_object)) return Owned::borrow(text_object);
        return make_str(text);
    }
    CoreAllocator<char> allocator;
    const auto release = [&](char* buffer) { allocator.deallocate(buffer, size); };
    const std::unique_ptr<char, decltype(release)> buffer(allocator.allocate(size), release);
    write_escaped(buffer.get(), text);
    return make_str(std::string_view(buffer.get(), size));
}

}  // namespace frasolet
