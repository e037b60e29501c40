// Whether the running thread still holds its interpreter's lock, for the
// code that may run on a thread the interpreter is ending.
//
// CPython 3.10 to 3.13 end a thread that asks for the lock back once its
// interpreter has begun to finalize (a daemon thread, woken from a sleep or
// a blocking call inside Python code that native code had called) with
// pthread_exit(). Its forced unwind runs through every native frame on the
// thread's stack, ours included, and must pass through them all: a frame
// that caught it and went on would run without the lock, and the C++
// runtime aborts the process if the unwind is swallowed. So nothing that
// such an unwind can cross is noexcept, entries rethrow what they catch on
// a thread that no longer holds the lock, and the destructors it runs
// leave Python objects and the interpreter's allocator alone: a reference
// or a block leaked while the process exits is harmless, a reference count
// or an allocator touched without the lock is not. (CPython 3.14 and later
// park such threads instead; nothing unwinds there.)
#pragma once

#include <atomic>

#include "binding/python.hpp"

namespace frasolet::binding {

// True unless the thread is being ended without the lock. One call into the
// interpreter (three on CPython 3.10 and 3.11 while it finalizes): for the
// paths that have already failed.
bool holds_interpreter_lock() noexcept;

namespace detail {
// Set for good once any interpreter that imported the module has begun to
// finalize (watch_interpreter_exit): only then can a thread be ended.
extern std::atomic<bool> interpreter_exit_started;
}  // namespace detail

// Whether the destructor or release that runs now may touch Python objects
// and the interpreter's allocator: holds_interpreter_lock(), at the cost of
// one load until an interpreter begins to finalize.
inline bool may_touch_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return true;  // threads are parked, never unwound
#else
    return !detail::interpreter_exit_started.load(std::memory_order_relaxed) ||
           holds_interpreter_lock();
#endif
}

// Makes the current interpreter set the flag above, then call `reaction`,
// when it begins to finalize: an atexit callback, which runs before the
// interpreter starts ending threads. If it cannot be registered (or the
// interpreter already finalizes), both happen now, which costs speed, never
// safety. The reaction is the same for every call (the last one given).
void watch_interpreter_exit(void (*reaction)() noexcept) noexcept;

// Drops a strong reference, unless the thread is being ended (see above).
inline void release_reference(PyObject* object) {
    if (object != nullptr && may_touch_interpreter()) Py_DECREF(object);
}

}  // namespace frasolet::binding
