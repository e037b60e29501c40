#include "binding/class_object.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "binding/entry.hpp"

namespace frasolet::binding {
namespace {

// The sequence item slot of classes with a mapping subscript: the index as
// an int, through the interpreter's generic item access.
PyObject* sequence_item_bridge(PyObject* self, Py_ssize_t index) {
    Owned key = Owned::steal(PyLong_FromSsize_t(index));
    if (!key) return nullptr;
    return PyObject_GetItem(self, key.get());
}

// The new slot of classes that Python may not instantiate.
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return object_entry([]() -> Owned { throw_message(PyExc_TypeError, "No constructor defined"); });
}

bool has_slot(std::span<const PyType_Slot> slots, int id) {
    for (const PyType_Slot& slot : slots) {
        if (slot.slot == id) return true;
    }
    return false;
}

unsigned class_flags(const ClassSpec& spec) {
    unsigned long flags = Py_TPFLAGS_DEFAULT;
    if (spec.subclassing == Subclassing::allowed) flags |= Py_TPFLAGS_BASETYPE;
    if (spec.collection == Collection::cyclic) flags |= Py_TPFLAGS_HAVE_GC;
    return static_cast<unsigned>(flags);
}

PyTypeObject* make_class(const ClassSpec& spec) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    slots.push_back({Py_tp_dealloc, as_slot(spec.dealloc)});
    if (spec.methods != nullptr && spec.methods[0].ml_name != nullptr) {
        slots.push_back({Py_tp_methods, spec.methods});
    }
    if (spec.properties != nullptr && spec.properties[0].name != nullptr) {
        slots.push_back({Py_tp_getset, spec.properties});
    }
    slots.insert(slots.end(), spec.slots.begin(), spec.slots.end());
    if (has_slot(spec.slots, Py_mp_subscript)) {
        slots.push_back({Py_sq_item, as_slot(sequence_item_bridge)});
    }
    if (!has_slot(spec.slots, Py_tp_new)) slots.push_back({Py_tp_new, as_slot(no_constructor)});
    slots.push_back({0, nullptr});

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
        full_name,
        static_cast<int>(spec.instance_size),
        0,
        class_flags(spec),
        slots.data(),
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

PyTypeObject* LazyClass::get() {
    if (type_ == nullptr) {
        PyTypeObject* made = make_class(spec_);
        // Making a type can run Python code; if another thread stored one
        // meanwhile, that one stays.
        if (type_ == nullptr) {
            type_ = made;
        } else {
            Py_DECREF(made);
        }
    }
    return type_;
}

void check_instance(PyObject* object, LazyClass& lazy_class) {
    PyTypeObject* type = lazy_class.get();
    if (Py_TYPE(object) != type && !PyType_IsSubtype(Py_TYPE(object), type)) {
        throw_conversion_error(object, lazy_class.name());
    }
}

}  // namespace frasolet::binding
