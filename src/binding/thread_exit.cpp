#include "binding/thread_exit.hpp"

#include <exception>

namespace frasolet::binding {

std::atomic<unsigned> detail::thread_end_possible{0};

bool thread_holds_lock() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    // The thread's current state is its own (a thread-local), cleared when
    // it lets the lock go and set again only once it has it back.
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
#else
    // Here the current state is the lock holder's, whichever thread that is;
    // threads are ended only while the runtime finalizes.
    if (!_Py_IsFinalizing()) return true;
    PyThreadState* holder = _PyThreadState_UncheckedGet();
    if (holder == nullptr) return false;
    if (holder == PyGILState_GetThisThreadState()) return true;
    // Not the thread's first state: either a sub-interpreter's, entered on
    // this very thread (which then holds the lock), or another thread's.
    // The holder's state lives while it holds the lock, and it drops the
    // state it deletes from being current at once.
    return holder->thread_id == PyThread_get_thread_ident();
#endif
}

bool is_thread_end_caught() noexcept {
    // Every failure of this module is a C++ exception; the forced unwind of
    // pthread_exit() is not one, and the runtime has no exception object to
    // give for it.
    return !std::current_exception();
}

#if PY_VERSION_HEX < 0x030E0000
namespace {

std::atomic<void (*)() noexcept> exit_reaction{nullptr};

void exit_started() noexcept {
    detail::thread_end_possible.fetch_or(detail::kExitStarted, std::memory_order_relaxed);
    if (auto reaction = exit_reaction.load(std::memory_order_relaxed)) reaction();
}

PyObject* note_interpreter_exit(PyObject*, PyObject*) {
    exit_started();
    Py_RETURN_NONE;
}

PyMethodDef note_interpreter_exit_record = {"_note_interpreter_exit", note_interpreter_exit,
                                            METH_NOARGS, nullptr};

// atexit.register is Python code's to replace, and the import runs Python
// code too: the thread can be ended in here.
bool register_exit_callback() {
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

void watch_interpreter_exit([[maybe_unused]] void (*reaction)() noexcept) {
#if PY_VERSION_HEX < 0x030E0000
    exit_reaction.store(reaction, std::memory_order_relaxed);
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing();
#else
    const bool finalizing = _Py_IsFinalizing();
#endif
    if (finalizing) {
        exit_started();
        return;
    }
    // Not on the thread's way out: a thread ended in here leaves it raised.
    detail::thread_end_possible.fetch_add(detail::kRegistering, std::memory_order_relaxed);
    if (!register_exit_callback()) {
        PyErr_Clear();  // releases the error, which can run Python code too
        exit_started();
    }
    detail::thread_end_possible.fetch_sub(detail::kRegistering, std::memory_order_relaxed);
#endif
}

}  // namespace frasolet::binding
