// Conversions between the core's records and Python objects: texts, text
// lists and shared records, built on the binding layer's generic ones.
#pragma once

#include <cassert>

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

}  // namespace frasolet
