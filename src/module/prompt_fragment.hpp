// The Python class PromptFragment: one fragment record per instance, shared
// with a template (and its iterators) until either side writes.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "binding/instance.hpp"
#include "core/parser.hpp"
#include "core/shared_record.hpp"
#include "module/module_state.hpp"

namespace frasolet {

using FragmentObject = binding::Instance<RecordRef>;

// What the class object is made from, once per interpreter.
const binding::ClassSpec& prompt_fragment_spec() noexcept;

// A new instance of exactly the PromptFragment class of `state` (the state
// that holds the caller's interpreter's classes) sharing `record`. If the
// instance cannot be allocated, the interpreter's MemoryError is thrown.
binding::Owned allocate_fragment_object(ModuleState& state, const RecordRef& record);
inline binding::Owned new_fragment_object(ModuleState& state, const RecordRef& record) {
    // A walk frees one fragment per step and makes the next: its block is
    // mostly waiting in the cache.
    if (void* block = state.fragment_blocks.take()) {
        return binding::init_exact_instance<RecordRef>(block, state.fragment_class, record);
    }
    return allocate_fragment_object(state, record);
}

// A new list of new PromptFragment objects, one per record, in order, each
// sharing its record.
binding::Owned fragments_to_python(ModuleState& state, std::span<const RecordRef> records);

// Where a parse's records live when the module parses: each built inside a
// new PromptFragment, made as the parse goes (RecordSink<FragmentObjects>
// does the merging). The objects not yet handed on are released with this.
class FragmentObjects {
public:
    // The objects are of exactly `fragment_class`. `text_size` is the length
    // of the template, from which it guesses how many objects it will hold.
    FragmentObjects(PyTypeObject* fragment_class, std::size_t text_size);
    FragmentObjects(const FragmentObjects&) = delete;
    FragmentObjects& operator=(const FragmentObjects&) = delete;
    ~FragmentObjects();

    void add_text(std::string_view piece);
    void extend_text(std::string_view piece);
    void add_placeholder(std::string_view name, std::span<const std::string_view> spans);

    // A new list of the objects made, in order; empty after.
    binding::Owned into_list();

private:
    void add(std::string_view string, SharedRecord::OptionSpans options);

    PyTypeObject* fragment_class_;
    List<PyObject*> objects_;  // strong references
};

// Fragment extraction: the record of a PromptFragment (or subclass)
// instance, taken under a shared borrow, to be kept by another holder.
RecordRef extract_fragment(PyObject* object);

}  // namespace frasolet
