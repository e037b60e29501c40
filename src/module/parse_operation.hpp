// The parse operation shared by frasolet.parse and the static parse methods
// of both classes: template text in, a new list of new PromptFragment out.
#pragma once

#include <string_view>

#include "binding/arguments.hpp"
#include "binding/owned.hpp"
#include "module/records.hpp"

namespace frasolet {

// The docstring of every parse entry (its first lines are the signature).
extern const char* const kParseDoc;

// Parses `text` into a template's shared records; a failure report becomes
// OSError with its message.
SharedRecordList parse_or_raise(std::string_view text);

// Binds `template` against `parameters` (which name the entry in binding
// errors), parses it and builds the list of instances of `fragment_class`.
binding::Owned parse_operation(PyTypeObject* fragment_class, const binding::Parameters& parameters,
                               PyObject* const* arguments, Py_ssize_t positional_count,
                               PyObject* keyword_names);

}  // namespace frasolet
