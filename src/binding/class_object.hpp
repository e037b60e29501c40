// Class objects: heap types made once per process from a constant item table.
#pragma once

#include "binding/python.hpp"

namespace frasolet::binding {

enum class Subclassing { allowed, refused };

// Instances that hold arbitrary Python objects take part in cyclic garbage
// collection; such a class lists its traverse and clear slots.
enum class Collection { none, cyclic };

// Everything a class has. `slots` is its whole slot table, terminated by a
// zeroed slot: doc, dealloc, methods and properties included, and
// no_constructor or sequence_item_bridge below where the class uses them.
struct ClassSpec {
    const char* module = nullptr;  // nullptr: the class is shown as a builtin
    const char* name = nullptr;
    Py_ssize_t instance_size = 0;
    Subclassing subclassing = Subclassing::refused;
    Collection collection = Collection::none;
    const PyType_Slot* slots = nullptr;
};

// The new slot of classes that Python may not instantiate: TypeError
// "No constructor defined".
PyObject* no_constructor(PyTypeObject* type, PyObject* arguments, PyObject* keywords);

// The sequence item slot of classes with a mapping subscript: the index as
// an int, through the interpreter's generic item access.
PyObject* sequence_item_bridge(PyObject* self, Py_ssize_t index);

// A class object made on first use and kept for the life of the process.
class LazyClass {
public:
    explicit constexpr LazyClass(const ClassSpec& spec) noexcept : spec_(spec) {}

    // The class object; made on the first call. If the interpreter refuses
    // to make it, its error is printed and the call ends in an internal
    // fault "An error occurred while initializing class <name>".
    PyTypeObject* get() { return type_ != nullptr ? type_ : make(); }
    const char* name() const noexcept { return spec_.name; }

private:
    PyTypeObject* make();

    const ClassSpec& spec_;
    PyTypeObject* type_ = nullptr;
};

// The check of `self` (and of fragment items): the object's type must be the
// class or a subclass, else the conversion error naming the class.
void check_subclass_instance(PyObject* object, LazyClass& lazy_class);
inline void check_instance(PyObject* object, LazyClass& lazy_class) {
    if (Py_TYPE(object) != lazy_class.get()) check_subclass_instance(object, lazy_class);
}

}  // namespace frasolet::binding
