// An owned (strong) reference to a Python object: released exactly once,
// when the holder goes out of scope, unless handed on with release().
//
// Releasing a reference can run any Python code (a finalizer), and with it
// the end of the thread by the interpreter (binding/interpreter_lock.hpp):
// that unwind must pass through the destructor and the move assignment, so
// neither is noexcept.
#pragma once

#include <cassert>
#include <utility>

#include "binding/interpreter_lock.hpp"
#include "binding/python.hpp"

namespace frasolet::binding {

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
