// Adding attributes to the module object, each name also appended to the
// module's __all__ (created by the first addition).
#pragma once

#include <string_view>

#include "binding/owned.hpp"

namespace frasolet::binding {

void add_text_attribute(PyObject* module, const char* name, std::string_view text);
void add_class(PyObject* module, const char* name, PyTypeObject* type);
// Adds the function under its own __name__.
void add_function(PyObject* module, PyObject* function);

// A built-in function object for `record`, bound to `module` and carrying
// the module's name as its __module__. `record` must outlive the process.
Owned make_module_function(PyMethodDef* record, PyObject* module);

}  // namespace frasolet::binding
