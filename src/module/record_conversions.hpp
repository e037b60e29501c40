// Conversions between the core's records and Python objects: texts, text
// lists and shared records, built on the binding layer's generic ones.
#pragma once

#include <cassert>
#include <new>
#include <utility>

#include "binding/convert.hpp"
#include "binding/utf8_str.hpp"
#include "core/allocator.hpp"
#include "core/fragment.hpp"
#include "core/shared_record.hpp"

namespace frasolet {

// A str as owned UTF-8 text.
inline Text to_text(PyObject* object) {
    const std::string_view view = binding::text_view(object);
    return Text(view.data(), view.size());
}

// A sequence as a native list, each item through `convert_item`.
template <class Element, class ConvertItem>
List<Element> to_native_list(PyObject* object, ConvertItem&& convert_item) {
    List<Element> elements;
    binding::visit_sequence(
        object, [&](std::size_t expected) { elements.reserve(expected); },
        [&](PyObject* item) { elements.push_back(convert_item(item)); });
    return elements;
}

// A sequence of str as a text list.
TextList to_text_list(PyObject* object);

// The string field as a new str.
inline binding::Owned string_to_python(const SharedRecord& record) {
    return binding::make_str(record.string(), record.string_memo());
}

// The options field as Python sees it: None, or a new list of new str.
binding::Owned option_list_to_python(const SharedRecord& record);
inline binding::Owned options_to_python(const SharedRecord& record) {
    // Half the fragments of a template are text: their None comes at once.
    if (record.is_text()) return binding::Owned::borrow(Py_None);
    return option_list_to_python(record);
}

// A template's records: shared by the template and its iterators, and never
// changed once made (a write of the template replaces the whole list).
// Counted without atomics: every holder is an object of one interpreter and
// is touched only under that interpreter's lock. (The atomic count of
// std::shared_ptr would also tie the module to a newer C library.)
class SharedRecordList {
public:
    SharedRecordList() noexcept = default;
    SharedRecordList(const SharedRecordList& other) noexcept : block_(other.block_) {
        if (block_ != nullptr) ++block_->references;
    }
    SharedRecordList(SharedRecordList&& other) noexcept
        : block_(std::exchange(other.block_, nullptr)) {}
    SharedRecordList& operator=(SharedRecordList other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~SharedRecordList() {
        if (block_ != nullptr && --block_->references == 0) release(block_);
    }

    // Moves `records` into a new shared list, one block through the core's
    // allocator. Throws std::bad_alloc.
    static SharedRecordList make(RecordRefs&& records);

    const RecordRefs& operator*() const noexcept {
        assert(block_ != nullptr);
        return block_->records;
    }
    const RecordRefs* operator->() const noexcept { return &**this; }

private:
    struct Block {
        std::size_t references;
        RecordRefs records;
    };
    static void release(Block* block) noexcept;

    Block* block_ = nullptr;
};

inline SharedRecordList share_records(RecordRefs&& records) {
    return SharedRecordList::make(std::move(records));
}

}  // namespace frasolet
