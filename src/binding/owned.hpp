// An owned (strong) reference to a Python object: released exactly once,
// when the holder goes out of scope, unless handed on with release().
//
// The rule every release follows: no Python code runs while a C++ exception
// unwinds. Dropping a last reference can run any Python code (a finalizer),
// and with it the end of the thread by the interpreter
// (binding/thread_exit.hpp), whose forced unwind the C++ runtime cannot
// start inside a destructor that an unwind runs: it aborts the process. So
// a last reference dropped while an exception is in flight is not released
// there but put aside (defer_release), and the entry that catches the
// failure releases what was put aside once the catch is over
// (release_deferred, binding/entry.hpp), where the thread can end cleanly.
// A reference that is not the last is dropped at once: that runs no code.
// Anything that catches a failure itself and carries on (rather than
// ending the entry) releases the deferred references too.
//
// Outside an unwind the release is immediate, and may run Python code and
// end the thread, so neither the destructor nor the move assignment is
// noexcept.
#pragma once

#include <cassert>
#include <exception>
#include <utility>

#include "binding/python.hpp"
#include "binding/thread_exit.hpp"

namespace frasolet::binding {

// Keeps `object`'s reference for release_deferred (never throws: without
// memory to keep it, the reference is leaked).
void defer_release(PyObject* object) noexcept;

// Releases what defer_release kept on this thread. Runs Python code: call
// it where no exception is in flight, after a failure has been caught.
void release_deferred();

// Drops a strong reference by the rule above; nothing on a thread that is
// being ended (binding/thread_exit.hpp).
inline void release_reference(PyObject* object) {
    if (object == nullptr || !may_touch_interpreter()) return;
    // Only a last reference runs code; the count is read first so that the
    // common release pays no call.
    if (Py_REFCNT(object) == 1 && std::uncaught_exceptions() != 0) {
        defer_release(object);
        return;
    }
    Py_DECREF(object);
}

class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : object_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept(false) {
        Owned old(std::move(*this));
        object_ = other.release();
        return *this;
    }
    ~Owned() noexcept(false) { release_reference(object_); }

    // Fills an empty holder: an assignment without the release of an old
    // reference, which it cannot have (and so cannot throw).
    void fill(Owned&& other) noexcept {
        assert(object_ == nullptr && "only an empty holder is filled");
        object_ = other.release();
    }

    // Takes over a reference the caller already owns (a new reference).
    static Owned steal(PyObject* object) noexcept { return Owned(object); }
    // Takes a new reference to a borrowed object.
    static Owned borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Owned(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference on; this holder becomes empty.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Owned(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace frasolet::binding
