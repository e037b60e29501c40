// Class objects: heap types made once per process from a constant item table.
#pragma once

#include <span>

#include "binding/python.hpp"

namespace frasolet::binding {

enum class Subclassing { allowed, refused };

// Instances that hold arbitrary Python objects take part in cyclic garbage
// collection; such a class lists its traverse and clear slots.
enum class Collection { none, cyclic };

struct ClassSpec {
    const char* module = nullptr;  // nullptr: the class is shown as a builtin
    const char* name = nullptr;
    const char* doc = nullptr;     // with its text-signature line
    Py_ssize_t instance_size = 0;
    destructor dealloc = nullptr;
    Subclassing subclassing = Subclassing::refused;
    Collection collection = Collection::none;
    PyMethodDef* methods = nullptr;          // terminated by a zeroed entry, or nullptr
    PyGetSetDef* properties = nullptr;       // terminated by a zeroed entry, or nullptr
    std::span<const PyType_Slot> slots;      // without the terminating zero slot
};

// A class object made on first use and kept for the life of the process.
class LazyClass {
public:
    explicit constexpr LazyClass(const ClassSpec& spec) noexcept : spec_(spec) {}

    // The class object; made on the first call. If the interpreter refuses
    // to make it, its error is printed and the call ends in an internal
    // fault "An error occurred while initializing class <name>".
    PyTypeObject* get();
    const char* name() const noexcept { return spec_.name; }

private:
    const ClassSpec& spec_;
    PyTypeObject* type_ = nullptr;
};

// The check of `self` (and of fragment items): the object's type must be the
// class or a subclass, else the conversion error naming the class.
void check_instance(PyObject* object, LazyClass& lazy_class);

}  // namespace frasolet::binding
