#include "binding/failure.hpp"

#include <cassert>

#include "binding/convert.hpp"
#include "binding/internal_fault.hpp"

namespace frasolet::binding {
namespace {

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

}  // namespace

Failure Failure::message(PyObject* type, std::string message) {
    Failure failure(Form::message, Owned::borrow(type));
    failure.message_ = std::move(message);
    return failure;
}

Failure Failure::no_argument(PyObject* type) {
    return Failure(Form::no_argument, Owned::borrow(type));
}

void raise_with_arguments(PyObject* type, PyObject* arguments) {
    assert(PyTuple_Check(arguments) && "exception arguments are a tuple");
    PyErr_SetObject(type, arguments);
}

Failure fetch_failure(SourceLocation where) {
    PendingException pending = take_pending();
    if (!pending.type) {
        return Failure::message(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (is_panic_exception_type(pending.type.get())) {
        resume_panic(std::move(pending.type), std::move(pending.value),
                     std::move(pending.traceback), where);
    }
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
    Failure prefixed =
        Failure::message(PyExc_TypeError, "argument '" + std::string(name) + "': " + text);
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

void Failure::restore() && {
    // Everything this holds is released here, on the entry's normal path
    // (binding/owned.hpp), rather than when the exception object it may be
    // is destroyed.
    Owned type = std::move(type_);
    Owned value = std::move(value_);
    Owned traceback = std::move(traceback_);
    Owned cause = std::move(cause_);
    switch (form_) {
        case Form::fetched:
            PyErr_Restore(type.release(), value.release(), traceback.release());
            return;
        case Form::no_argument:
            PyErr_SetNone(type.get());
            return;
        case Form::message: {
            // Sized, so that a message holding a NUL (a keyword name can) is
            // kept whole.
            Owned text = Owned::steal(PyUnicode_FromStringAndSize(
                message_.data(), static_cast<Py_ssize_t>(message_.size())));
            if (!text) return;
            if (!cause) {
                PyErr_SetObject(type.get(), text.get());
                return;
            }
            Owned exception = Owned::steal(PyObject_CallOneArg(type.get(), text.get()));
            if (!exception) return;
            PyException_SetCause(exception.get(), cause.release());
            PyErr_SetObject(type.get(), exception.get());
            return;
        }
    }
}

void throw_message(PyObject* type, std::string message) {
    throw Failure::message(type, std::move(message));
}

}  // namespace frasolet::binding
