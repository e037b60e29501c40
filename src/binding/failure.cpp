#include "binding/failure.hpp"

#include <cstdio>
#include <exception>
#include <new>

#include "binding/convert.hpp"

namespace frasolet::binding {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python meets an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

PyObject* panic_type = nullptr;

struct PendingException {
    Owned type, value, traceback;
};

PendingException take_pending() noexcept {
    PendingException pending;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception = PyErr_GetRaisedException();
    if (exception != nullptr) {
        pending.type = Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
        pending.traceback = Owned::steal(PyException_GetTraceback(exception));
        pending.value = Owned::steal(exception);
    }
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    pending.type = Owned::steal(type);
    pending.value = Owned::steal(value);
    pending.traceback = Owned::steal(traceback);
#endif
    return pending;
}

void put_back(PendingException pending) noexcept {
    PyErr_Restore(pending.type.release(), pending.value.release(), pending.traceback.release());
}

void write_diagnostic(const InternalFault& fault) noexcept {
    std::fprintf(stderr, "thread '<unnamed>' panicked at '%s', %s:%u:%u\n", fault.message.c_str(),
                 fault.where.file_name(), static_cast<unsigned>(fault.where.line()),
                 static_cast<unsigned>(fault.where.column()));
    std::fflush(stderr);
}

// Python code raised a PanicException that we have just fetched: print it
// and carry the fault on.
[[noreturn]] void resume_panic(PendingException pending, std::source_location where) {
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n",
               stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    std::string message = "Unwrapped panic from Python code";
    if (pending.value && PyUnicode_Check(pending.value.get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(pending.value.get(), &size)) {
            message.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    }
    put_back(std::move(pending));
    PyErr_PrintEx(0);
    throw InternalFault{std::move(message), where, true};
}

void raise_fault(const InternalFault& fault) noexcept {
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

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr) {
        PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                   PyExc_BaseException, nullptr);
        if (made == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        // Another thread may have made it while the interpreter ran code
        // during the making: the first one stored stays.
        if (panic_type == nullptr) {
            panic_type = made;
        } else {
            Py_DECREF(made);
        }
    }
    return panic_type;
}

Failure Failure::message(PyObject* type, std::string message) {
    Failure failure(Form::message, Owned::borrow(type));
    failure.message_ = std::move(message);
    return failure;
}

Failure Failure::no_argument(PyObject* type) { return Failure(Form::no_argument, Owned::borrow(type)); }

Failure Failure::none_argument(PyObject* type) {
    return Failure(Form::none_argument, Owned::borrow(type));
}

Failure fetch_failure(std::source_location where) {
    PendingException pending = take_pending();
    if (!pending.type) {
        return Failure::message(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyObject* panic = panic_exception_type();
    if (panic != nullptr && pending.type.get() == panic) resume_panic(std::move(pending), where);
    Failure failure(Failure::Form::fetched, std::move(pending.type));
    failure.value_ = std::move(pending.value);
    failure.traceback_ = std::move(pending.traceback);
    return failure;
}

bool Failure::is_exactly(PyObject* type) const noexcept { return type_.get() == type; }

Failure Failure::with_argument_prefix(const char* name) && {
    if (!is_exactly(PyExc_TypeError)) return std::move(*this);
    std::string text;
    Owned cause;
    if (form_ == Form::message) {
        text = std::move(message_);
        cause = std::move(cause_);
    } else {
        // An exception object from the interpreter: read its text and cause.
        Owned exception = std::move(*this).into_exception();
        text = lenient_text(exception.get());
        cause = Owned::steal(PyException_GetCause(exception.get()));
    }
    Failure prefixed = Failure::message(PyExc_TypeError, "argument '" + std::string(name) + "': " + text);
    prefixed.cause_ = std::move(cause);
    return prefixed;
}

Owned Failure::into_exception() && {
    if (form_ != Form::fetched) {
        std::move(*this).restore();
        *this = fetch_failure();
    }
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    if (value == nullptr) throw_fetched();
    return Owned::steal(value);
#else
    return std::move(value_);
#endif
}

void Failure::restore() && noexcept {
    switch (form_) {
        case Form::fetched:
            PyErr_Restore(type_.release(), value_.release(), traceback_.release());
            return;
        case Form::no_argument:
            PyErr_SetNone(type_.get());
            return;
        case Form::none_argument: {
            Owned arguments = Owned::steal(PyTuple_Pack(1, Py_None));
            if (arguments) PyErr_SetObject(type_.get(), arguments.get());
            return;
        }
        case Form::message: {
            // Sized, so that a message holding a NUL (a keyword name can) is
            // kept whole.
            Owned text = Owned::steal(PyUnicode_FromStringAndSize(
                message_.data(), static_cast<Py_ssize_t>(message_.size())));
            if (!text) return;
            if (!cause_) {
                PyErr_SetObject(type_.get(), text.get());
                return;
            }
            Owned exception = Owned::steal(PyObject_CallOneArg(type_.get(), text.get()));
            if (!exception) return;
            PyException_SetCause(exception.get(), cause_.release());
            PyErr_SetObject(type_.get(), exception.get());
            return;
        }
    }
}

void throw_message(PyObject* type, std::string message) { throw Failure::message(type, std::move(message)); }

void throw_fault(std::string message, std::source_location where) {
    throw InternalFault{std::move(message), where, false};
}

void throw_api_call_failed(std::source_location where) {
    PyErr_PrintEx(1);
    throw InternalFault{"Python API call failed", where, false};
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (Failure& failure) {
        std::move(failure).restore();
    } catch (const InternalFault& fault) {
        raise_fault(fault);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_fault(InternalFault{error.what(), std::source_location::current(), false});
    } catch (...) {
        raise_fault(InternalFault{"unknown native exception", std::source_location::current(), false});
    }
}

}  // namespace frasolet::binding
