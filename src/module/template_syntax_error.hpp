// frasolet.TemplateSyntaxError: the ValueError of a strict parse that could
// not read its whole template, with where and why it stopped. The class is
// Python code (template_syntax_error.cpp says why); the parse raises it.
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/owned.hpp"

namespace frasolet {

// A new class object for `module`'s interpreter.
binding::Owned make_template_syntax_error(PyObject* module);

// Throws `error_class` for the template `doc`, whose UTF-8 text `text` the
// parse read only `length` bytes of (less than its size). The byte offsets
// of the offending character and of the unreadable piece become code
// points here, on the way out; the class works out lines, columns and its
// note from them.
[[noreturn]] void throw_template_syntax_error(PyObject* error_class, PyObject* doc,
                                              std::string_view text, std::size_t length);

}  // namespace frasolet
