// The Python class PromptFragment: one fragment record per instance.
#pragma once

#include "binding/instance.hpp"
#include "fragment/fragment.hpp"
#include "parser/parser.hpp"

namespace frasolet {

using FragmentObject = binding::Instance<Fragment>;

PyTypeObject* prompt_fragment_type();

// A new instance of exactly PromptFragment owning `record`. The module
// treats this as infallible: if the instance cannot be made, the call ends
// in an internal fault.
binding::Owned new_fragment_object(Fragment&& record);

// A new list of new PromptFragment objects, one per record, in order.
binding::Owned fragments_to_python(FragmentList&& records);

// Receives a parse and makes its PromptFragment objects as it goes: each
// record is built inside its instance, and text that follows a text
// fragment is appended to that instance's string in place. The objects not
// yet handed on are released with the sink.
class FragmentObjectSink final : public PieceSink {
public:
    // `text_size` is the length of the template, from which the sink guesses
    // how many objects it will hold.
    explicit FragmentObjectSink(std::size_t text_size);
    FragmentObjectSink(const FragmentObjectSink&) = delete;
    FragmentObjectSink& operator=(const FragmentObjectSink&) = delete;
    ~FragmentObjectSink();

    void text(std::string_view piece) override;
    void placeholder(std::string_view name, std::span<const std::string_view> options) override;

    // A new list of the objects made, in order; the sink is empty after.
    binding::Owned into_list();

private:
    List<PyObject*> objects_;        // strong references
    Fragment* open_text_ = nullptr;  // the record of the last object while it is text
};

// Fragment extraction: a copy of the record of a PromptFragment (or
// subclass) instance, taken under a shared borrow.
Fragment extract_fragment(PyObject* object);

}  // namespace frasolet
