#include "binding/owned.hpp"

#include <cstdlib>

namespace frasolet::binding {
namespace {

// The references put aside on this thread: a few in place, more in a block
// of the C heap (the interpreter's allocator is not called while unwinding).
// Each thread releases its own: what one entry puts aside, the same entry
// releases once it has caught the failure, before any other Python code can
// run on the thread.
struct Deferred {
    static constexpr std::size_t kInPlace = 8;
    PyObject* in_place[kInPlace];
    PyObject** more;
    std::size_t count;
    std::size_t capacity;  // of `more`
};

thread_local Deferred deferred{};

}  // namespace

void defer_release(PyObject* object) noexcept {
    Deferred& list = deferred;
    const std::size_t index = list.count;
    if (index < Deferred::kInPlace) {
        list.in_place[index] = object;
    } else {
        const std::size_t more_index = index - Deferred::kInPlace;
        if (more_index == list.capacity) {
            const std::size_t capacity = list.capacity == 0 ? 16 : list.capacity * 2;
            void* grown = std::realloc(list.more, capacity * sizeof(PyObject*));
            if (grown == nullptr) return;  // leaked: memory has run out
            list.more = static_cast<PyObject**>(grown);
            list.capacity = capacity;
        }
        list.more[more_index] = object;
    }
    list.count = index + 1;
}

void release_deferred() {
    Deferred& list = deferred;
    // Last in, first out; a release may put more aside (it cannot while no
    // exception is in flight, but the loop would take them too).
    while (list.count != 0) {
        const std::size_t index = --list.count;
        PyObject* object = index < Deferred::kInPlace ? list.in_place[index]
                                                      : list.more[index - Deferred::kInPlace];
        Py_DECREF(object);
    }
    std::free(list.more);
    list.more = nullptr;
    list.capacity = 0;
}

}  // namespace frasolet::binding
