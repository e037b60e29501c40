// Conversions between the core's records and Python objects: texts, text
// lists and lists of records, built on the binding layer's generic ones.
#pragma once

#include <utility>

#include "binding/convert.hpp"
#include "core/allocator.hpp"
#include "core/fragment.hpp"

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

// A new list of new str.
binding::Owned text_list_to_python(const TextList& texts);

// The options field as Python sees it: None, or a new list of new str.
binding::Owned options_to_python(const Fragment& record);

}  // namespace frasolet
