// Internal faults: a broken invariant in native code (in practice the
// interpreter failing to make an object the code treats as infallible). A
// fault never crashes the interpreter: the entry that meets it writes one
// diagnostic line to standard error and raises the
// interpreter's PanicException class, which derives from BaseException.
#pragma once

#include <string>

#include "binding/location.hpp"
#include "binding/owned.hpp"

namespace frasolet::binding {

struct InternalFault {
    std::string message;
    SourceLocation where;
    // A PanicException raised by Python code and fetched again: its report
    // has been printed already, so no diagnostic line is written.
    bool resumed = false;
};

[[noreturn]] void throw_fault(std::string message,
                              SourceLocation where = SourceLocation::current());

// The interpreter could not make an object the code treats as infallible: the
// pending exception is printed (and recorded as the last one) and the call
// ends in the fault "Python API call failed".
[[noreturn]] void throw_api_call_failed(SourceLocation where = SourceLocation::current());

// A PanicException fetched from the interpreter (Python code raised it, or
// let it through): printed with its traceback and carried on as a resumed
// fault whose message is the exception's text.
[[noreturn]] void resume_panic(Owned type, Owned value, Owned traceback, SourceLocation where);

// Makes the fault the pending exception: the diagnostic line (unless
// resumed), then a PanicException with the fault's message.
void raise_fault(const InternalFault& fault);

// The current interpreter's PanicException class, made on its first need;
// borrowed, or null (with the reason cleared) if it cannot be made.
PyObject* panic_exception_type();
// Whether `type` is the current interpreter's PanicException class.
bool is_panic_exception_type(PyObject* type) noexcept;

}  // namespace frasolet::binding
