#include "binding/internal_fault.hpp"

#include <cstdio>
#include <cstring>
#include <new>

#include "binding/failure.hpp"
#include "binding/interpreter_state.hpp"

namespace frasolet::binding {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python meets an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

void write_diagnostic(const InternalFault& fault) noexcept {
    std::fprintf(stderr, "thread '<unnamed>' panicked at '%s', %s:%u:%u\n", fault.message.c_str(),
                 fault.where.file, fault.where.line, fault.where.column);
    std::fflush(stderr);
}

}  // namespace

void resume_panic(Owned type, Owned value, Owned traceback, SourceLocation where) {
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n",
               stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    std::string message = "Unwrapped panic from Python code";
    if (value && PyUnicode_Check(value.get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size)) {
            message.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    }
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    throw InternalFault{std::move(message), where, true};
}

void raise_fault(const InternalFault& fault) {
    if (!fault.resumed) write_diagnostic(fault);
    // Without the class (the interpreter could not make it) the fault can
    // only be reported as a SystemError.
    PyObject* type = panic_exception_type();
    try {
        Failure::message(type != nullptr ? type : PyExc_SystemError, fault.message).restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

// Each interpreter has its own class (an exception class is an object of
// the interpreter that made it), kept in the interpreter's dict under its
// qualified name.
constexpr const char* kPanicName = "pyo3_runtime.PanicException";

// Borrowed: the interpreter's dict keeps it for the interpreter's life.
PyObject* existing_panic_type() noexcept { return interpreter_value(kPanicName).get(); }

PyObject* panic_exception_type() {
    if (PyObject* existing = existing_panic_type()) return existing;
    Owned made = Owned::steal(
        PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr));
    if (!made) {
        PyErr_Clear();
        return nullptr;
    }
    // Making the class runs Python code, so another thread may have stored
    // one meanwhile: that one stays.
    if (PyObject* existing = existing_panic_type()) return existing;
    try {
        if (!set_interpreter_value(kPanicName, made.get())) return nullptr;
    } catch (const Failure&) {
        // Only a Failure: this runs inside the entry's catch handler, where
        // a handler that caught the end of the thread would abort.
        return nullptr;
    }
    return made.get();
}

bool is_panic_exception_type(PyObject* type) noexcept {
    // Only a class of that name can be it: the lookup is left for those.
    if (!PyType_Check(type) ||
        std::strcmp(reinterpret_cast<PyTypeObject*>(type)->tp_name, "PanicException") != 0) {
        return false;
    }
    return type == existing_panic_type();
}

void throw_fault(std::string message, SourceLocation where) {
    throw InternalFault{std::move(message), where, false};
}

void throw_api_call_failed(SourceLocation where) {
    PyErr_PrintEx(1);
    throw InternalFault{"Python API call failed", where, false};
}

}  // namespace frasolet::binding
