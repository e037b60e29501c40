#include "core/allocator.hpp"

#include <atomic>
#include <cstdlib>

namespace frasolet {
namespace {

void* allocate_with_malloc(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }
void release_with_free(void* pointer) { std::free(pointer); }

// Constant-initialised, so that hooks installed by another file's initialiser at
// load time are never overwritten by this one. Relaxed atomics: plain loads,
// and a hook may be swapped while other threads use the old one.
constinit std::atomic<void* (*)(std::size_t)> allocate_hook{allocate_with_malloc};
constinit std::atomic<void (*)(void*)> release_hook{release_with_free};

}  // namespace

void set_memory_hooks(MemoryHooks hooks) noexcept {
    allocate_hook.store(hooks.allocate, std::memory_order_relaxed);
    release_hook.store(hooks.release, std::memory_order_relaxed);
}

MemoryHooks memory_hooks() noexcept {
    return {allocate_hook.load(std::memory_order_relaxed),
            release_hook.load(std::memory_order_relaxed)};
}

}  // namespace frasolet

namespace frasolet {

void* allocate_memory(std::size_t size) {
    return allocate_hook.load(std::memory_order_relaxed)(size);
}

void release_memory(void* pointer) noexcept {
    release_hook.load(std::memory_order_relaxed)(pointer);
}

}  // namespace frasolet
