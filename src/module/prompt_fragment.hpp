// The Python class PromptFragment: one fragment record per instance.
#pragma once

#include <cstddef>

#include "binding/instance.hpp"
#include "core/fragment.hpp"
#include "core/parser.hpp"

namespace frasolet {

using FragmentObject = binding::Instance<Fragment>;

// What the class object is made from, once per interpreter.
const binding::ClassSpec& prompt_fragment_spec() noexcept;

// A new instance of exactly `fragment_class` (the PromptFragment class of
// the caller's interpreter) owning `record`. The module treats this as
// infallible: if the instance cannot be made, the call ends in an internal
// fault.
binding::Owned new_fragment_object(PyTypeObject* fragment_class, Fragment&& record);
// The same with an empty record, to be filled in place.
binding::Owned new_fragment_object(PyTypeObject* fragment_class);

// A new list of new PromptFragment objects, one per record, in order.
binding::Owned fragments_to_python(PyTypeObject* fragment_class, FragmentList&& records);

// Where a parse's records live when the module parses: each in a new
// PromptFragment, made as the parse goes (RecordSink<FragmentObjects> does
// the merging). The objects not yet handed on are released with this.
class FragmentObjects {
public:
    // The objects are of exactly `fragment_class`. `text_size` is the length
    // of the template, from which it guesses how many objects it will hold.
    FragmentObjects(PyTypeObject* fragment_class, std::size_t text_size);
    FragmentObjects(const FragmentObjects&) = delete;
    FragmentObjects& operator=(const FragmentObjects&) = delete;
    ~FragmentObjects();

    // The empty record of a new object.
    Fragment& add();

    // A new list of the objects made, in order; empty after.
    binding::Owned into_list();

private:
    PyTypeObject* fragment_class_;
    List<PyObject*> objects_;  // strong references
};

// Fragment extraction: a copy of the record of a PromptFragment (or
// subclass) instance, taken under a shared borrow.
Fragment extract_fragment(PyObject* object);

}  // namespace frasolet
