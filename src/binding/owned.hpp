// An owned (strong) reference to a Python object: released exactly once,
// when the holder goes out of scope, unless handed on with release().
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace frasolet::binding {

class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : object_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        Owned old(std::move(*this));
        object_ = other.release();
        return *this;
    }
    ~Owned() { Py_XDECREF(object_); }

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
