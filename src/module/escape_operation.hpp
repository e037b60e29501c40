// frasolet.escape: the template text that reads back as exactly a given text.
#pragma once

#include "binding/owned.hpp"

namespace frasolet {

// The docstring of frasolet.escape (its first lines are the signature).
extern const char* const kEscapeDoc;

// Binds `text`, which must be a str, and returns its escaped form as a new
// str (the same str when it is exactly a str with nothing to escape).
binding::Owned escape_operation(PyObject* const* arguments, Py_ssize_t positional_count,
                                PyObject* keyword_names);

}  // namespace frasolet
