// Failures: the one Python exception a call ends with, as a value.
//
// Native code reports a failure by throwing a `Failure` (or, for a broken
// invariant, an InternalFault: binding/internal_fault.hpp). Entries
// (binding/entry.hpp) catch both at the boundary, so no C++ exception ever
// crosses into the interpreter.
#pragma once

#include <string>

#include "binding/location.hpp"
#include "binding/owned.hpp"

namespace frasolet::binding {

class Failure {
public:
    // An exception of `type` whose only argument is `message`.
    static Failure message(PyObject* type, std::string message);
    // An exception of `type` made without arguments.
    static Failure no_argument(PyObject* type);

    // True when the exception's class is exactly `type` (no subclass).
    bool is_exactly(PyObject* type) const noexcept;
    // The failure as an argument error: a TypeError becomes a new TypeError
    // "argument '<name>': <its text>" keeping its cause; anything else stays.
    Failure with_argument_prefix(const char* name) &&;
    // Makes the exception pending in the interpreter.
    void restore() &&;

private:
    friend Failure fetch_failure(SourceLocation);
    enum class Form { message, no_argument, fetched };

    Failure(Form form, Owned type) noexcept : form_(form), type_(std::move(type)) {}
    // The normalised exception object of this failure.
    Owned into_exception() &&;

    Form form_;
    Owned type_;
    std::string message_;  // Form::message
    Owned value_;          // Form::fetched
    Owned traceback_;      // Form::fetched
    Owned cause_;          // Form::message, when it replaced an exception that had one
};

// Takes the interpreter's pending exception after a call reported failure.
// With nothing pending the failure is SystemError "attempted to fetch
// exception but none was set"; a pending PanicException is resumed as an
// internal fault (which is thrown instead of returned).
Failure fetch_failure(SourceLocation where = SourceLocation::current());

[[noreturn]] inline void throw_fetched(SourceLocation where = SourceLocation::current()) {
    throw fetch_failure(where);
}

[[noreturn]] void throw_message(PyObject* type, std::string message);

// Makes an exception of `type` whose arguments are `arguments` (a tuple)
// pending, with no Failure made first: for an entry that ends this way on
// its common path, as an iterator does at its end.
void raise_with_arguments(PyObject* type, PyObject* arguments);

}  // namespace frasolet::binding
