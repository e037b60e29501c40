#include "binding/class_object.hpp"

#include <string>

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

}  // namespace

Owned make_class(const ClassSpec& spec, PyObject* module) {
    PyType_Spec type_spec{
        spec.qualified_name, static_cast<int>(spec.instance_size), 0,
        class_flags(spec),   const_cast<PyType_Slot*>(spec.slots),
    };
    Owned type = Owned::steal(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    if (!type) {
        PyErr_PrintEx(0);
        throw_fault(std::string("An error occurred while initializing class ") + spec.name());
    }
    return type;
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return object_entry(
        []() -> Owned { throw_message(PyExc_TypeError, "No constructor defined"); });
}

PyObject* sequence_item_bridge(PyObject* self, Py_ssize_t index) {
    Owned key = Owned::steal(PyLong_FromSsize_t(index));
    if (!key) return nullptr;
    return PyObject_GetItem(self, key.get());
}

}  // namespace frasolet::binding
