// Memory for the template-language core.
//
// Every text and list the core owns is allocated through one pair of hooks.
// The core itself defaults to malloc/free; an embedding (the Python module)
// may point the hooks at its own allocator once, before any allocation, so
// that its memory accounting and fault injection see the core's memory too.
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace frasolet {

struct MemoryHooks {
    void* (*allocate)(std::size_t size);
    void (*release)(void* pointer);
};

// Installs the hooks. Must be called before the core allocates anything, or
// with hooks that can release what the previous ones allocated. Each hook is
// replaced atomically, so other threads may go on allocating meanwhile.
void set_memory_hooks(MemoryHooks hooks) noexcept;
MemoryHooks memory_hooks() noexcept;

// The hooks' calls, for every allocation of the core.
void* allocate_memory(std::size_t size);
void release_memory(void* pointer) noexcept;

// A standard allocator over the hooks; a failed allocation throws
// std::bad_alloc, as containers expect.
template <class T>
struct CoreAllocator {
    using value_type = T;

    CoreAllocator() noexcept = default;
    template <class U>
    CoreAllocator(const CoreAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        void* memory = allocate_memory(count * sizeof(T));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* pointer, std::size_t) noexcept { release_memory(pointer); }

    template <class U>
    bool operator==(const CoreAllocator<U>&) const noexcept {
        return true;
    }
};

// Owned UTF-8 text and the containers built on it.
using Text = std::basic_string<char, std::char_traits<char>, CoreAllocator<char>>;
template <class T>
using List = std::vector<T, CoreAllocator<T>>;
using TextList = List<Text>;

}  // namespace frasolet
