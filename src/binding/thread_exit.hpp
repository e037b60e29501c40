// Threads that the interpreter ends while it exits.
//
// CPython 3.10 to 3.13 end a thread that asks for the lock back once its
// interpreter has begun to finalize (a daemon thread, woken from a sleep or
// a blocking call inside Python code that native code had called) with
// pthread_exit(). Its forced unwind runs through every native frame on the
// thread's stack, ours included, and must pass through them all: a frame
// that caught it and went on would run without the lock, and the C++
// runtime aborts the process if the unwind is swallowed, meets a noexcept
// frame, or starts inside a destructor that runs while a C++ exception
// unwinds. So:
//
// - no frame that can run Python code is noexcept (scripts/check_noexcept.py
//   checks the functions of binding/ and module/);
// - entries rethrow what they catch when it is not a C++ exception
//   (is_thread_end_caught): that is the thread's end, never a failure;
// - no Python code runs while a C++ exception unwinds: a last reference
//   released then is put aside and released by the entry once the failure
//   has been caught (binding/owned.hpp);
// - the destructors the forced unwind runs leave Python objects and the
//   interpreter's allocator alone (may_touch_interpreter): a reference or a
//   block leaked while the process exits is harmless, a reference count or
//   an allocator touched without the lock is not.
//
// (CPython 3.14 and later park such threads instead; nothing unwinds there.)
#pragma once

#include <atomic>

#include "binding/python.hpp"

namespace frasolet::binding {

// Whether the running thread holds its interpreter's lock, whichever
// interpreter it runs (a sub-interpreter entered on the main thread
// included). One or two calls into the interpreter: for the paths that
// have already failed, and for destructors once an interpreter exits.
bool thread_holds_lock() noexcept;

// Call only inside a catch handler: whether what was caught is the end of
// the thread (a forced unwind, which no C++ exception is) rather than a
// failure. Such a catch must rethrow it at once.
bool is_thread_end_caught() noexcept;

namespace detail {
// Nonzero while a thread may be ended: for good once any interpreter that
// imported the module has begun to finalize (kExitStarted, set by
// watch_interpreter_exit's callback), and while a registration of that
// callback runs Python code (kRegistering each), in which the thread that
// registers can be ended before anything is registered.
inline constexpr unsigned kExitStarted = 1;
inline constexpr unsigned kRegistering = 2;
extern std::atomic<unsigned> thread_end_possible;
}  // namespace detail

// Whether the destructor or release that runs now may touch Python objects
// and the interpreter's allocator: thread_holds_lock(), at the cost of one
// load until an interpreter begins to finalize.
inline bool may_touch_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return true;  // threads are parked, never unwound
#else
    return detail::thread_end_possible.load(std::memory_order_relaxed) == 0 || thread_holds_lock();
#endif
}

// Makes the current interpreter set the flag above, then call `reaction`,
// when it begins to finalize: an atexit callback, which runs before the
// interpreter starts ending threads. If it cannot be registered (or the
// interpreter already finalizes), both happen now, which costs speed, never
// safety. The reaction is the same for every call (the last one given).
// Registering runs Python code (atexit.register can be replaced), so the
// thread can be ended here: not noexcept.
void watch_interpreter_exit(void (*reaction)() noexcept);

}  // namespace frasolet::binding
