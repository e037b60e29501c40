#include "binding/class_object.hpp"

#include <array>
#include <cassert>
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

// The new and allocation slots of a class that Python may not instantiate.
template <class... Unused>
PyObject* refuse_instance(PyTypeObject*, Unused...) {
    return object_entry(
        []() -> Owned { throw_message(PyExc_TypeError, "No constructor defined"); });
}

// A class's slot table with its `release` and `allocate` added as the
// dealloc and allocation slots (and the refusing new slot for a class
// without `allocate`). The interpreter reads the table while it makes the
// class and keeps none of it.
constexpr std::size_t kMaxSlots = 32;
using SlotTable = std::array<PyType_Slot, kMaxSlots + 4>;

SlotTable slot_table(const ClassSpec& spec) {
    assert(spec.release != nullptr && "every class has a dealloc slot");
    SlotTable table{};
    std::size_t count = 0;
    for (const PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) {
        assert(slot->slot != Py_tp_dealloc && "the dealloc slot is given as `release`");
        assert(slot->slot != Py_tp_alloc && "the allocation slot is given as `allocate`");
        assert((spec.allocate != nullptr || slot->slot != Py_tp_new) &&
               "a class without `allocate` has no constructor");
        if (count == kMaxSlots) throw_fault("too many slots for class " + std::string(spec.name()));
        table[count++] = *slot;
    }
    table[count++] = {Py_tp_dealloc, as_slot(spec.release)};
    if (spec.allocate != nullptr) {
        table[count] = {Py_tp_alloc, as_slot(spec.allocate)};
    } else {
        table[count++] = {Py_tp_new, as_slot(refuse_instance<PyObject*, PyObject*>)};
        table[count] = {Py_tp_alloc, as_slot(refuse_instance<Py_ssize_t>)};
    }
    return table;  // ends in a zeroed slot
}

// Each function is bound to the class (its `__self__`, which also names it
// "Class.method"), and the class holds it through the static method.
bool add_static_methods(PyObject* type, PyMethodDef* methods) {
    for (PyMethodDef* method = methods; method != nullptr && method->ml_name != nullptr; ++method) {
        assert(method->ml_flags == (METH_FASTCALL | METH_KEYWORDS));
        Owned function = Owned::steal(PyCFunction_NewEx(method, type, nullptr));
        if (!function) return false;
        Owned descriptor = Owned::steal(PyStaticMethod_New(function.get()));
        if (!descriptor || PyObject_SetAttrString(type, method->ml_name, descriptor.get()) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

Owned make_class(const ClassSpec& spec, PyObject* module) {
    SlotTable slots = slot_table(spec);
    PyType_Spec type_spec{
        spec.qualified_name, static_cast<int>(spec.instance_size), 0, class_flags(spec),
        slots.data(),
    };
    Owned type = Owned::steal(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    if (!type || !add_static_methods(type.get(), spec.static_methods)) {
        PyErr_PrintEx(0);
        throw_fault(std::string("An error occurred while initializing class ") + spec.name());
    }
    return type;
}

bool derives_from_class_of(PyTypeObject* type, destructor release) noexcept {
    PyObject* bases = type->tp_mro;  // ready types only; every instance's type is
    if (bases == nullptr) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 1; i < count; ++i) {
        if (reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(bases, i))->tp_dealloc == release) {
            return true;
        }
    }
    return false;
}

PyObject* sequence_item_bridge(PyObject* self, Py_ssize_t index) {
    Owned key = Owned::steal(PyLong_FromSsize_t(index));
    if (!key) return nullptr;
    return PyObject_GetItem(self, key.get());
}

}  // namespace frasolet::binding
