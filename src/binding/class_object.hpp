// Class objects: heap types made from a constant item table, one per module
// object that asks for them (and so one per interpreter).
#pragma once

#include <string_view>

#include "binding/owned.hpp"

namespace frasolet::binding {

enum class Subclassing { allowed, refused };

// Instances that hold arbitrary Python objects take part in cyclic garbage
// collection; such a class lists its traverse and clear slots.
enum class Collection { none, cyclic };

// Everything a class has. `release` is its dealloc slot, by which entries
// tell its instances (instance.hpp), and `allocate` its allocation slot,
// which makes an instance whose record is in its default state (instance.hpp
// says why every class has one); a class that Python may not instantiate
// has none, and its new and allocation slots both raise TypeError "No
// constructor defined". `slots` is the rest of its slot table, terminated
// by a zeroed slot: doc, constructor, methods and properties included, and
// sequence_item_bridge below where the class uses it. `static_methods`
// (METH_FASTCALL | METH_KEYWORDS, ended by a zeroed record) become static
// methods whose function is bound to the class it was defined on, which it
// gets as `self` on every call (a subclass's included): a static method of
// the slot table gets a null `self`, and so could not find its class, nor
// through it its module (interpreter_state.hpp).
struct ClassSpec {
    // "<module>.<name>", or "builtins.<name>" for a class shown as a builtin.
    // A constant: CPython 3.10 keeps pointing at it for the life of the class.
    const char* qualified_name = nullptr;
    Py_ssize_t instance_size = 0;
    Subclassing subclassing = Subclassing::refused;
    Collection collection = Collection::none;
    destructor release = nullptr;
    allocfunc allocate = nullptr;
    const PyType_Slot* slots = nullptr;
    PyMethodDef* static_methods = nullptr;

    // The name after the module's, as errors name the class.
    constexpr const char* name() const noexcept {
        const std::string_view full(qualified_name);
        return qualified_name + full.rfind('.') + 1;
    }
};

// A new class object made from `spec` for `module` (which its instances'
// entries find again from the class, PyType_GetModuleByDef). If the
// interpreter refuses to make it, its error is printed and the call ends in
// an internal fault "An error occurred while initializing class <name>".
Owned make_class(const ClassSpec& spec, PyObject* module);

// Whether a base of `type` (a ready class) other than itself has `release`
// for its dealloc slot: what tells a subclass of such a class (instance.hpp).
bool derives_from_class_of(PyTypeObject* type, destructor release) noexcept;

// The sequence item slot of classes with a mapping subscript: the index as
// an int, through the interpreter's generic item access.
PyObject* sequence_item_bridge(PyObject* self, Py_ssize_t index);

}  // namespace frasolet::binding
