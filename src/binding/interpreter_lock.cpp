#include "binding/interpreter_lock.hpp"

namespace frasolet::binding {

std::atomic<bool> detail::interpreter_exit_started{false};

bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    // The thread's current state is cleared when it lets the lock go and set
    // again only once it has it back.
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    // Here the current state is the lock holder's, whichever thread that is;
    // threads are ended only while the runtime finalizes.
    if (!_Py_IsFinalizing()) return true;
    return PyGILState_GetThisThreadState() == _PyThreadState_UncheckedGet();
#endif
}

#if PY_VERSION_HEX < 0x030E0000
namespace {

std::atomic<void (*)() noexcept> exit_reaction{nullptr};

void exit_started() noexcept {
    detail::interpreter_exit_started.store(true, std::memory_order_relaxed);
    if (auto reaction = exit_reaction.load(std::memory_order_relaxed)) reaction();
}

PyObject* note_interpreter_exit(PyObject*, PyObject*) {
    exit_started();
    Py_RETURN_NONE;
}

PyMethodDef note_interpreter_exit_record = {"_note_interpreter_exit", note_interpreter_exit,
                                            METH_NOARGS, nullptr};

bool register_exit_callback() noexcept {
    PyObject* atexit = PyImport_ImportModule("atexit");
    if (atexit == nullptr) return false;
    PyObject* callback = PyCFunction_New(&note_interpreter_exit_record, nullptr);
    PyObject* result =
        callback == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", callback);
    Py_XDECREF(callback);
    Py_DECREF(atexit);
    Py_XDECREF(result);
    return result != nullptr;
}

}  // namespace
#endif

void watch_interpreter_exit([[maybe_unused]] void (*reaction)() noexcept) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    exit_reaction.store(reaction, std::memory_order_relaxed);
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing();
#else
    const bool finalizing = _Py_IsFinalizing();
#endif
    if (finalizing || !register_exit_callback()) {
        PyErr_Clear();
        exit_started();
    }
#endif
}

}  // namespace frasolet::binding
