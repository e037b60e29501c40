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

// The state of the module that made `type`, a class that no class derives
// from, asked through an instance of it. A class the collector has cleared
// (an instance can outlive that inside a collected cycle) has none: the
// interpreter's error is thrown.
template <class State>
State& exact_class_state(PyTypeObject* type) {
    void* state = PyType_GetModuleState(type);
    if (state == nullptr) throw_fetched();
    return *static_cast<State*>(state);
}

// The same for the dealloc slot of such a class, which must leave a pending
// exception alone and so cannot call the interpreter's lookups (they raise
// where the collector has cleared the class, and an instance can be freed
// after that inside a collected cycle): the state, or null then.
template <class State>
State* state_while_class_lives(PyTypeObject* type) noexcept {
    PyObject* module = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
    return module == nullptr ? nullptr : static_cast<State*>(PyModule_GetState(module));
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
