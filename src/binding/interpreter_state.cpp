#include "binding/interpreter_state.hpp"

#include "binding/failure.hpp"
#include "binding/internal_fault.hpp"

namespace frasolet::binding {
namespace {

// The interpreter's dict, borrowed, or null (nothing pending) if it has none.
PyObject* interpreter_dict() noexcept {
    return PyInterpreterState_GetDict(PyInterpreterState_Get());
}

}  // namespace

PyObject* defining_module(PyTypeObject* type, PyModuleDef& definition) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* module = PyType_GetModuleByDef(type, &definition);
#else
    PyObject* module = _PyType_GetModuleByDef(type, &definition);
#endif
    if (module == nullptr) {
        PyErr_Clear();
        throw_fault(std::string("no module of its own for class ") + type->tp_name);
    }
    return module;
}

Owned interpreter_value(const char* key) noexcept {
    PyObject* dict = interpreter_dict();
    if (dict == nullptr) return Owned();
    // A walk rather than a lookup: a lookup needs a key object, and this is
    // also how a fault finds its exception class when memory has run out.
    // The dict holds a handful of items.
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(dict, &position, &name, &value)) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, key) == 0) {
            return Owned::borrow(value);
        }
    }
    return Owned();
}

bool set_interpreter_value(const char* key, PyObject* value) {
    PyObject* dict = interpreter_dict();
    if (dict == nullptr) return false;
    if (PyDict_SetItemString(dict, key, value) < 0) throw_fetched();
    return true;
}

}  // namespace frasolet::binding
