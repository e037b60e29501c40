// The Python class PromptFragment: one fragment record per instance.
#pragma once

#include "binding/instance.hpp"
#include "fragment/fragment.hpp"

namespace frasolet {

using FragmentObject = binding::Instance<Fragment>;

PyTypeObject* prompt_fragment_type();

// A new instance of exactly PromptFragment owning `record`. The module
// treats this as infallible: if the instance cannot be made, the call ends
// in an internal fault.
binding::Owned new_fragment_object(Fragment&& record);

// A new list of new PromptFragment objects, one per record, in order.
binding::Owned fragments_to_python(FragmentList&& records);

// Fragment extraction: a copy of the record of a PromptFragment (or
// subclass) instance, taken under a shared borrow.
Fragment extract_fragment(PyObject* object);

}  // namespace frasolet
