#include "binding/arguments.hpp"

#include <cassert>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binding/convert.hpp"
#include "binding/failure.hpp"

namespace frasolet::binding {
namespace {

std::string display_name(const Parameters& parameters) {
    std::string name;
    if (parameters.owner != nullptr) {
        name += parameters.owner;
        name += '.';
    }
    name += parameters.function;
    name += "()";
    return name;
}

[[noreturn]] void too_many(const Parameters& parameters, std::size_t given) {
    std::string message = display_name(parameters);
    if (parameters.required == parameters.positional()) {
        message += " takes " + std::to_string(parameters.positional());
    } else {
        message += " takes from " + std::to_string(parameters.required) + " to " +
                   std::to_string(parameters.positional());
    }
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    throw_message(PyExc_TypeError, std::move(message));
}

[[noreturn]] void multiple_values(const Parameters& parameters, std::string_view name) {
    throw_message(PyExc_TypeError, display_name(parameters) +
                                       " got multiple values for argument '" + std::string(name) +
                                       "'");
}

[[noreturn]] void unexpected_keyword(const Parameters& parameters, PyObject* keyword) {
    throw_message(PyExc_TypeError, display_name(parameters) +
                                       " got an unexpected keyword argument '" +
                                       lenient_text(keyword) + "'");
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string name_list(const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) list += ',';
            list += (i + 1 == names.size()) ? " and " : " ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

void check_missing(const Parameters& parameters, const BoundArguments& slots,
                   std::size_t positional_count) {
    std::vector<std::string_view> missing;
    for (std::size_t i = positional_count; i < parameters.required; ++i) {
        if (!slots[i]) missing.push_back(parameters.names[i]);
    }
    if (missing.empty()) return;
    throw_message(PyExc_TypeError, display_name(parameters) + " missing " +
                                       std::to_string(missing.size()) + " required positional " +
                                       (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                       name_list(missing));
}

// Parameter names are a few ASCII letters: compared in place, without a
// call to the C library.
bool same_name(std::string_view keyword, std::string_view name) noexcept {
    if (keyword.size() != name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (keyword[i] != name[i]) return false;
    }
    return true;
}

// The text of a keyword's name. The names that compiled calls pass are
// compact ASCII str objects, whose characters are read in place.
const char* keyword_text(PyObject* keyword, Py_ssize_t& size) {
    if (!PyUnicode_Check(keyword)) return nullptr;
    if (PyUnicode_IS_COMPACT_ASCII(keyword)) {
        size = PyUnicode_GET_LENGTH(keyword);
        return static_cast<const char*>(PyUnicode_DATA(keyword));
    }
    return PyUnicode_AsUTF8AndSize(keyword, &size);
}

// Puts one keyword argument into its slot.
void bind_keyword(const Parameters& parameters, BoundArguments& slots, PyObject* keyword,
                  PyObject* value) {
    Py_ssize_t size = 0;
    const char* text = keyword_text(keyword, size);
    if (text == nullptr) {
        // Not encodable (a lone surrogate) or not a str: it matches no name.
        PyErr_Clear();
        unexpected_keyword(parameters, keyword);
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    const std::size_t count = parameters.count();
    for (std::size_t i = 0; i < count; ++i) {
        if (!same_name(name, parameters.names[i])) continue;
        if (slots[i]) multiple_values(parameters, parameters.names[i]);
        slots[i].fill(Owned::borrow(value));
        return;
    }
    unexpected_keyword(parameters, keyword);
}

BoundArguments bind_positional(const Parameters& parameters, PyObject* const* arguments,
                               std::size_t positional_count) {
    // The slots are sized by the cap, and the required ones are positional.
    assert(parameters.count() <= kMaxParameters && parameters.keyword_only <= parameters.count() &&
           parameters.required <= parameters.positional());
    if (positional_count > parameters.positional()) too_many(parameters, positional_count);
    BoundArguments slots{};
    for (std::size_t i = 0; i < positional_count; ++i) slots[i].fill(Owned::borrow(arguments[i]));
    return slots;
}

}  // namespace

BoundArguments bind_vector(const Parameters& parameters, PyObject* const* arguments,
                           Py_ssize_t positional_count, PyObject* keyword_names) {
    const auto given = static_cast<std::size_t>(positional_count);
    BoundArguments slots = bind_positional(parameters, arguments, given);
    if (keyword_names != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
        for (Py_ssize_t i = 0; i < keyword_count; ++i) {
            bind_keyword(parameters, slots, PyTuple_GET_ITEM(keyword_names, i),
                         arguments[positional_count + i]);
        }
    }
    // A keyword can fill only what the positional arguments left empty.
    if (given < parameters.required) check_missing(parameters, slots, given);
    return slots;
}

BoundArguments bind_tuple(const Parameters& parameters, PyObject* arguments, PyObject* keywords) {
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(arguments));
    BoundArguments slots = bind_positional(parameters, &PyTuple_GET_ITEM(arguments, 0), given);
    if (keywords != nullptr) {
        Py_ssize_t position = 0;
        PyObject *keyword, *value;
        while (PyDict_Next(keywords, &position, &keyword, &value)) {
            // The message of an unexpected keyword calls str() on it.
            const Owned held_keyword = Owned::borrow(keyword);
            bind_keyword(parameters, slots, held_keyword.get(), value);
        }
    }
    // A keyword can fill only what the positional arguments left empty.
    if (given < parameters.required) check_missing(parameters, slots, given);
    return slots;
}

}  // namespace frasolet::binding
