// PromptFragmentIter: hands out a private copy of a template's records as
// new PromptFragment objects.
#pragma once

#include "binding/owned.hpp"
#include "core/fragment.hpp"

namespace frasolet {

// A new iterator owning `records`, positioned at the first. Its class is
// made for `module` (the module whose classes the template's is of) on the
// first call there. If the instance cannot be allocated, the records are
// released and the interpreter's error is thrown.
binding::Owned new_fragment_iterator(PyObject* module, FragmentList&& records);

}  // namespace frasolet
