// Failures inside the binding layer and how they reach the interpreter.
//
// Native code reports a failure by throwing: `Failure` carries the one Python
// exception a call ends with, `InternalFault` a broken invariant that becomes
// a PanicException. Entries (binding/entry.hpp) catch both at the boundary,
// so no C++ exception ever crosses into the interpreter.
#pragma once

#include <source_location>
#include <string>

#include "binding/owned.hpp"

namespace frasolet::binding {

class Failure {
public:
    // An exception of `type` whose only argument is `message`.
    static Failure message(PyObject* type, std::string message);
    // An exception of `type` made without arguments.
    static Failure no_argument(PyObject* type);
    // An exception of `type` whose arguments are the tuple (None,).
    static Failure none_argument(PyObject* type);

    // True when the exception's class is exactly `type` (no subclass).
    bool is_exactly(PyObject* type) const noexcept;
    // The failure as an argument error: a TypeError becomes a new TypeError
    // "argument '<name>': <its text>" keeping its cause; anything else stays.
    Failure with_argument_prefix(const char* name) &&;
    // Makes the exception pending in the interpreter.
    void restore() && noexcept;

private:
    friend Failure fetch_failure(std::source_location);
    enum class Form { message, no_argument, none_argument, fetched };

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

struct InternalFault {
    std::string message;
    std::source_location where;
    // A PanicException raised by Python code and fetched again: its report
    // has been printed already, so no diagnostic line is written.
    bool resumed = false;
};

// Takes the interpreter's pending exception after a call reported failure.
// With nothing pending the failure is SystemError "attempted to fetch
// exception but none was set"; a pending PanicException is resumed as an
// internal fault (which is thrown instead of returned).
Failure fetch_failure(std::source_location where = std::source_location::current());

[[noreturn]] inline void throw_fetched(std::source_location where = std::source_location::current()) {
    throw fetch_failure(where);
}

[[noreturn]] void throw_message(PyObject* type, std::string message);

[[noreturn]] void throw_fault(std::string message,
                              std::source_location where = std::source_location::current());

// The interpreter could not make an object the code treats as infallible: the
// pending exception is printed (and recorded as the last one) and the call
// ends in the fault "Python API call failed".
[[noreturn]] void throw_api_call_failed(std::source_location where = std::source_location::current());

// Ends the current entry: turns whatever native failure is in flight into
// the pending Python exception. Call only from inside a catch handler.
void raise_current_exception() noexcept;

// The process-wide PanicException class, made on first need; null (with
// the reason cleared) if the interpreter cannot make it.
PyObject* panic_exception_type() noexcept;

}  // namespace frasolet::binding
