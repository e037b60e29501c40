// Entry guards: the boundary between the interpreter and native code.
//
// Every function the interpreter calls runs its body through one of these.
// The body returns its result or throws; the guard turns a throw into the
// pending Python exception and the failure value of the entry kind. Locals
// of the body (borrows, owned references) are released before that, on
// every path.
#pragma once

#include "binding/failure.hpp"

namespace frasolet::binding {

// Functions, methods, constructors, getters, str/repr/iter/next, subscript:
// a new reference, or null.
template <class Body>
PyObject* object_entry(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// Setters: 0, or -1.
template <class Body>
int status_entry(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

// Setters: status_entry with the value held for the whole call. Converting
// the value can run Python code that drops every other reference to it:
// pickle hands setters values that only a dict of its own keeps, and such
// code can clear that dict.
template <class Body>
int setter_entry(PyObject* value, Body&& body) noexcept {
    return status_entry([&] {
        const Owned held = Owned::borrow(value);
        body(held.get());
    });
}

// Hash and length: the body's value (never -1), or -1.
template <class Result, class Body>
Result value_entry(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

// Setters are called with a null value for `del obj.attr`; properties of
// this module cannot be deleted.
inline void refuse_deletion(PyObject* value) {
    if (value == nullptr) throw_message(PyExc_AttributeError, "can't delete attribute");
}

}  // namespace frasolet::binding
