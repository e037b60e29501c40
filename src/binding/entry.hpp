// Entry guards: the boundary between the interpreter and native code.
//
// Every function the interpreter calls runs its body through one of these.
// The body returns its result or throws; the guard turns a throw into the
// pending Python exception and the failure value of the entry kind. Locals
// of the body (borrows, owned references) are released before that, on
// every path; what their releases put aside while the failure unwound
// (binding/owned.hpp) is released once it has been caught, after the
// exception is set. The one thing that passes through a guard is the
// unwind of a thread that the interpreter ends (binding/thread_exit.hpp),
// which is why the guards are not noexcept: it must reach the thread's
// start.
//
// Entries on an instance do their work in one order: the check of `self`,
// the borrow of its record (shared for readers, exclusive for writers), then
// the body, which binds and converts its arguments itself.
#pragma once

#include <type_traits>
#include <utility>

#include "binding/class_object.hpp"
#include "binding/failure.hpp"
#include "binding/instance.hpp"

namespace frasolet::binding {

// Ends the current entry: turns whatever native failure is in flight into
// the pending Python exception. Call only from inside a catch handler. The
// end of the thread (not a failure) is rethrown instead, touching nothing.
void raise_current_exception();

// Functions, methods, constructors, getters, str/repr/iter/next, subscript:
// a new reference, or null.
template <class Body>
PyObject* object_entry(Body&& body) {
    try {
        return body().release();
    } catch (...) {
        raise_current_exception();
    }
    release_deferred();
    return nullptr;
}

// Setters: 0, or -1.
template <class Body>
int status_entry(Body&& body) {
    try {
        body();
        return 0;
    } catch (...) {
        raise_current_exception();
    }
    release_deferred();
    return -1;
}

// Hash and length: the body's value (never -1), or -1.
template <class Result, class Body>
Result value_entry(Body&& body) {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
    }
    release_deferred();
    return -1;
}

// The guard that fits what the body returns: an Owned object, or a value
// (a hash or a length).
template <class Body>
auto guarded_entry(Body&& body) {
    using Result = decltype(body());
    if constexpr (std::is_same_v<Result, Owned>) {
        return object_entry(std::forward<Body>(body));
    } else {
        return value_entry<Result>(std::forward<Body>(body));
    }
}

// A reader of an instance: body(const Record&) under a shared borrow.
template <class Record, class Body>
auto read_entry(PyObject* self, const ClassSpec& spec, Body&& body) {
    return guarded_entry([&] {
        Instance<Record>& instance = checked_self<Record>(self, spec);
        SharedBorrow borrow(instance.borrow_flag);
        return body(std::as_const(instance.record));
    });
}

// A reader of an instance whose body runs no Python code (no call that can
// reach the interpreter's evaluation, its collector or a finalizer), so that
// nothing can borrow the record while it runs: the same checks, without the
// shared borrow's count.
template <class Record, class Body>
auto quick_read_entry(PyObject* self, const ClassSpec& spec, Body&& body) {
    return guarded_entry([&] {
        Instance<Record>& instance = checked_self<Record>(self, spec);
        check_no_writer(instance.borrow_flag);
        return body(std::as_const(instance.record));
    });
}

// A writer of an instance: body(Record&) under the exclusive borrow.
template <class Record, class Body>
auto write_entry(PyObject* self, const ClassSpec& spec, Body&& body) {
    return guarded_entry([&] {
        Instance<Record>& instance = checked_self<Record>(self, spec);
        ExclusiveBorrow borrow(instance.borrow_flag);
        return body(instance.record);
    });
}

// Setters are called with a null value for `del obj.attr`; properties of
// this module cannot be deleted.
inline void refuse_deletion(PyObject* value) {
    if (value == nullptr) throw_message(PyExc_AttributeError, "can't delete attribute");
}

// A property setter: the check of `self`, the exclusive borrow, the refusal
// of deletion, then body(Record&, value). The value is held for the whole
// call: converting it can run Python code that drops every other reference
// to it (pickle hands setters values that only a dict of its own keeps, and
// such code can clear that dict). A body may return an Owned object it took
// out of the record; it is released last, once the borrow has ended, as its
// release may run Python code that reaches the instance again.
template <class Record, class Body>
int setter_entry(PyObject* self, PyObject* value, const ClassSpec& spec, Body&& body) {
    return status_entry([&] {
        const Owned held = Owned::borrow(value);
        Instance<Record>& instance = checked_self<Record>(self, spec);
        Owned released_last;
        {
            ExclusiveBorrow borrow(instance.borrow_flag);
            refuse_deletion(value);
            if constexpr (std::is_void_v<decltype(body(instance.record, value))>) {
                body(instance.record, value);
            } else {
                released_last = body(instance.record, value);
            }
        }
    });
}

}  // namespace frasolet::binding
