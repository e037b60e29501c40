#include "binding/class_object.hpp"

#include <cstring>
#include <string>

#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/internal_fault.hpp"

namespace frasolet::binding {
namespace {

unsigned class_flags(const ClassSpec& spec) {
    unsigned long flags = Py_TPFLAGS_DEFAULT;
    if (spec.subclassing == Subclassing::allowed) flags |= Py_TPFLAGS_BASETYPE;
    if (spec.collection == Collection::cyclic) flags |= Py_TPFLAGS_HAVE_GC;
    return static_cast<unsigned>(flags);
}

PyTypeObject* make_class(const ClassSpec& spec) {
    std::string name(spec.module != nullptr ? spec.module : "builtins");
    name += '.';
    name += spec.name;
#if PY_VERSION_HEX >= 0x030B0000
    // The interpreter copies the full name into the type.
    const char* full_name = name.c_str();
#else
    // The interpreter keeps a pointer to the full name for the life of the
    // type, which is the life of the process. It points at the start of
    // its own block, so that block stays reachable and is never lost.
    char* full_name = new char[name.size() + 1];
    std::memcpy(full_name, name.c_str(), name.size() + 1);
#endif

    PyType_Spec type_spec{
        full_name,         static_cast<int>(spec.instance_size), 0,
        class_flags(spec), const_cast<PyType_Slot*>(spec.slots),
    };
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) {
#if PY_VERSION_HEX < 0x030B0000
        delete[] full_name;
#endif
        PyErr_PrintEx(0);
        throw_fault(std::string("An error occurred while initializing class ") + spec.name);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return object_entry(
        []() -> Owned { throw_message(PyExc_TypeError, "No constructor defined"); });
}

PyObject* sequence_item_bridge(PyObject* self, Py_ssize_t index) {
    Owned key = Owned::steal(PyLong_FromSsize_t(index));
    if (!key) return nullptr;
    return PyObject_GetItem(self, key.get());
}

PyTypeObject* LazyClass::make() {
    PyTypeObject* made = make_class(spec_);
    // Making a type can run Python code; if another thread stored one
    // meanwhile, that one stays.
    if (type_ == nullptr) {
        type_ = made;
    } else {
        Py_DECREF(made);
    }
    return type_;
}

void check_subclass_instance(PyObject* object, LazyClass& lazy_class) {
    if (!PyType_IsSubtype(Py_TYPE(object), lazy_class.get())) {
        throw_conversion_error(object, lazy_class.name());
    }
}

}  // namespace frasolet::binding
