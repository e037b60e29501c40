// Where each interpreter keeps what it makes for itself: the state of a
// module object (its class objects), found again from a class through the
// module that made it, and the interpreter's own dict.
#pragma once

#include <cassert>

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

// The module object of `definition` that made `type`, or the nearest of its
// bases made by one; borrowed. An entry asks this of its own class (or a
// subclass of it), which always has one: none is an internal fault.
PyObject* defining_module_of_base(PyTypeObject* type, PyModuleDef& definition);
inline PyObject* defining_module(PyTypeObject* type, PyModuleDef& definition) {
    // The class itself first: that is two loads and a call, where the walk
    // of a subclass's bases is a loop of them.
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* module = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
        if (module != nullptr && PyModule_GetDef(module) == &definition) return module;
    }
    return defining_module_of_base(type, definition);
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
