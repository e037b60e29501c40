// The layout every instance of the module's classes shares, and the borrow
// flag that guards its record against re-entry.
//
// Layout: the object header, then the instance state (whether the record is
// built) and the borrow flag (0 free, n > 0 shared borrows, -1 exclusive),
// then the class's native record.
#pragma once

#include <cassert>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "binding/block_cache.hpp"
#include "binding/class_object.hpp"
#include "binding/convert.hpp"
#include "binding/failure.hpp"
#include "platform/compiler.hpp"

namespace frasolet::binding {

// Shared borrows nest only through calls on one thread's stack (or one per
// thread), far fewer than this type counts.
using BorrowFlag = std::int32_t;

// Zeroed memory, what the interpreter's own allocation slot gives, is an
// instance whose record is not built.
enum class InstanceState : std::uint32_t { unbuilt = 0, built = 1 };

template <class Record>
struct Instance {
    PyObject_HEAD
    // In this order, a new instance's pair is one small word (state 1,
    // flag 0), which a single store sets.
    InstanceState state;
    BorrowFlag borrow_flag;
    Record record;

    static Instance* from(PyObject* object) noexcept { return reinterpret_cast<Instance*>(object); }

    bool is_built() const noexcept { return state == InstanceState::built; }
};

// The dealloc slot: untracks a collectable instance, releases the record,
// frees the memory through the free slot of the object's own type and drops
// the instance's reference to that type (instances of heap types own one).
// Not noexcept: releasing the record can run a finalizer, and through it
// the end of the thread (binding/thread_exit.hpp).
template <class Record>
void release_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    // A collectable instance leaves the collector's lists before its record
    // goes, so that a collection run by the release never visits it.
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(object);
    auto* instance = Instance<Record>::from(object);
    if (instance->is_built()) instance->record.~Record();
    type->tp_free(object);
    Py_DECREF(type);
}

// The dealloc of an exact instance of an untracked class that keeps blocks:
// what release_instance does, except that the memory goes to `cache` when one
// is given and has room.
template <class Record>
void release_exact_instance(PyObject* object, BlockCache* cache) {
    PyTypeObject* type = Py_TYPE(object);
    assert(!PyType_IS_GC(type) && "exact instances are made only of untracked classes");
    auto* instance = Instance<Record>::from(object);
    assert(instance->is_built() && "exact instances of untracked classes are always built");
    instance->record.~Record();
    if (cache == nullptr || !cache->keep(object)) PyObject_Free(object);
    Py_DECREF(type);
}

// Instances that no constructor of the module filled.
//
// The classes are mutable, so Python code can replace a class's __new__,
// and one that ends in object.__new__(cls) gets an instance straight from
// the allocation slot. So every class has an allocation slot of its own:
// either it builds the record in its default state (what the constructor
// makes with no arguments) or it refuses (a class with no constructor).
// A subclass made in Python has the interpreter's own allocation slot,
// which only zeroes the memory: such an instance is unbuilt, its record is
// built in its default state when an entry first meets it (on the
// subclass's slower path of the check of `self`), and its dealloc leaves
// the record alone while it is unbuilt.
template <class Record>
void build_if_unbuilt(Instance<Record>& instance) {
    if (instance.is_built()) return;
    if constexpr (std::is_default_constructible_v<Record>) {
        new (&instance.record) Record();
        instance.state = InstanceState::built;
    } else {
        // Such classes refuse instances; none is unbuilt.
        throw_message(PyExc_TypeError, "No constructor defined");
    }
}

// The allocation slot of a class whose record's default constructor gives
// the default state: the interpreter's generic allocation, then the record.
template <class Record>
PyObject* allocate_default_instance(PyTypeObject* type, Py_ssize_t items) {
    PyObject* object = PyType_GenericAlloc(type, items);
    if (object == nullptr) return nullptr;
    auto* instance = Instance<Record>::from(object);
    try {
        new (&instance->record) Record();
        instance->state = InstanceState::built;
        return object;
    } catch (const std::bad_alloc&) {
    }
    release_deferred();  // what the record's parts let go of while it failed
    Py_DECREF(object);   // still unbuilt, which release takes
    return PyErr_NoMemory();
}

// The check of `self` (and of fragment items): the object's class must be
// made from `spec`, or derive from such a class, else the conversion error
// naming the class. `Record` must be the record of `spec`'s instances.
//
// Such a class is told by its dealloc slot, `spec.release`, which no other
// class has (each destroys a record of its own type, so no linker folds two
// into one): a subclass made in Python gets the interpreter's own dealloc,
// so only for one are the bases walked. An entry on an exact instance thus
// pays one load and one comparison, and needs neither its module nor the
// module's state; and since the instance's layout is all that the entry
// relies on, the test holds whichever interpreter made the class.
template <class Record>
FRASOLET_ALWAYS_INLINE inline Instance<Record>& checked_self(PyObject* self,
                                                             const ClassSpec& spec) {
    PyTypeObject* type = Py_TYPE(self);
    auto& instance = *Instance<Record>::from(self);
    if (type->tp_dealloc != spec.release) {
        if (!derives_from_class_of(type, spec.release)) throw_conversion_error(self, spec.name());
        build_if_unbuilt(instance);  // a subclass's instance may be unbuilt
    } else if (spec.collection == Collection::cyclic) {
        // Python subclasses are collected: `obj.__class__ = cls` accepts one's
        // instance for a collected class (the same free slot and layout),
        // so an unbuilt instance can turn up as an exact one here too.
        build_if_unbuilt(instance);
    }
    return instance;
}

// Readers hold this for the duration of their work.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_ == -1) throw_message(PyExc_RuntimeError, "Already mutably borrowed");
        ++flag_;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { --flag_; }

private:
    BorrowFlag& flag_;
};

// What a reader that runs no Python code checks instead of taking a shared
// borrow: no writer may hold the record, and none can start before the
// reader returns.
inline void check_no_writer(BorrowFlag flag) {
    if (flag == -1) throw_message(PyExc_RuntimeError, "Already mutably borrowed");
}

// Writers hold this for the duration of their work.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_ != 0) throw_message(PyExc_RuntimeError, "Already borrowed");
        flag_ = -1;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { flag_ = 0; }

private:
    BorrowFlag& flag_;
};

// Makes an instance of `type` (the class itself or a subclass) through the
// interpreter's generic allocation (not the class's own slot, which would
// build a default record first) and moves `record` into it. If allocation
// fails the record is released and the interpreter's error is thrown. The
// record is taken by reference so that it moves once, straight into the
// instance.
template <class Record>
Owned make_instance(PyTypeObject* type, Record&& record) {
    static_assert(!std::is_reference_v<Record>, "the record must be moved in");
    Owned object = Owned::steal(PyType_GenericAlloc(type, 0));
    if (!object) {
        // The error is taken first: releasing the record may run Python code.
        Failure failure = fetch_failure();
        { Record released(std::move(record)); }
        throw failure;
    }
    auto* instance = Instance<Record>::from(object.get());
    instance->borrow_flag = 0;
    new (&instance->record) Record(std::move(record));
    instance->state = InstanceState::built;
    return object;
}

// Makes an instance of exactly `type`, a class the collector does not track,
// in `memory` (from the object allocator, at least the instance size), with
// its record made in place from `arguments`: the quick path for the objects
// a call makes in numbers. PyObject_Init takes the reference to the type
// that instances of a heap type own; every other field is set here, so
// nothing is zeroed first.
template <class Record, class... Arguments>
Owned init_exact_instance(void* memory, PyTypeObject* type, Arguments&&... arguments) {
    // A collected class's instances need the collector's header before them.
    assert(!PyType_IS_GC(type) && "exact instances are made only of untracked classes");
    PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), type);
    static_assert(std::is_nothrow_constructible_v<Record, Arguments&&...>,
                  "the instance is built once the record is made");
    auto* instance = Instance<Record>::from(object);
    instance->state = InstanceState::built;
    instance->borrow_flag = 0;
    new (&instance->record) Record(std::forward<Arguments>(arguments)...);
    return Owned::steal(object);
}

// The same in new memory from the object allocator, which the class's free
// slot returns it to, with `extra_bytes` more after the instance for the
// record to keep data in the same block. Throws the interpreter's
// MemoryError (the arguments are then left as they were).
template <class Record, class... Arguments>
Owned make_exact_instance(PyTypeObject* type, std::size_t extra_bytes, Arguments&&... arguments) {
    void* memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize) + extra_bytes);
    if (memory == nullptr) {
        PyErr_NoMemory();
        throw_fetched();
    }
    return init_exact_instance<Record>(memory, type, std::forward<Arguments>(arguments)...);
}

}  // namespace frasolet::binding
