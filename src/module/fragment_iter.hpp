// PromptFragmentIter: hands out a template's records, as they were when it
// was made, as new PromptFragment objects.
#pragma once

#include "binding/owned.hpp"
#include "module/record_conversions.hpp"

namespace frasolet {

// A new iterator over `records`, positioned at the first. Its class is made
// for `module` (the module whose classes the template's is of) on the first
// call there. If the instance cannot be allocated, the interpreter's error
// is thrown.
binding::Owned new_fragment_iterator(PyObject* module, SharedRecordList records);

}  // namespace frasolet
