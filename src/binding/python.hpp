// The one place that includes the interpreter's header, so that every
// binding source sees the same configuration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace frasolet::binding {

// Casts an entry of any C signature to the generic pointer types that
// method tables and slot tables store.
template <class Function>
PyCFunction as_method(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

template <class Function>
void* as_slot(Function function) noexcept {
    return reinterpret_cast<void*>(function);
}

}  // namespace frasolet::binding
