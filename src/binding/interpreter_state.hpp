// Where each interpreter keeps what it makes for itself: the state of a
// module object (its class objects), found again from a class through the
// module that made it, and the interpreter's own dict.
#pragma once

#include <cassert>

#include "binding/failure.hpp"
#include "binding/owned.hpp"

namespace frasolet::binding {

// The state of `module`, a module object made from a definition whose state
// is a `State`.
template <class State>
State& module_state(PyObject* module) noexcept {
    void* state = PyModule_GetState(module);
    assert(state != nullptr && "a module of a definition with state");
    return *static_cast<State*>(state);
}

// Module state is reached two ways: from the module object (a module
// function's `self`), and from a class (a method's defining class, or an
// instance's type), through the module that made it.

// The module object of `definition` that made `type`, or the nearest of its
// bases made by one; borrowed. An entry asks this of its own class (or a
// subclass of it), which always has one: none is an internal fault.
PyObject* defining_module(PyTypeObject* type, PyModuleDef& definition);

// The module that made `type`, exactly a class made from a ClassSpec (not a
// subclass), for the entries and dealloc slots that start from an instance
// of it; borrowed, or null once the collector has cleared the class (an
// instance can be freed, or even used, after that inside a collected cycle).
// The class's own field, read directly: the interpreter's lookup would
// raise there, and a dealloc slot must leave a pending exception alone.
inline PyObject* exact_class_module(PyTypeObject* type) noexcept {
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
}

// The value stored under `key` in the current interpreter's dict, or empty.
// The interpreter clears that dict when it ends, so what is kept there lives
// exactly as long as the interpreter. Python code never sees it. Allocates
// nothing and raises nothing.
Owned interpreter_value(const char* key) noexcept;
// Stores `value` under `key`; returns false (nothing pending) if this
// interpreter has no dict.
bool set_interpreter_value(const char* key, PyObject* value);

}  // namespace frasolet::binding
