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
#include <type_traits>
#include <vector>

namespace frasolet {

struct MemoryHooks {
    void* (*allocate)(std::size_t size);
    void (*release)(void* pointer);
};

// Installs the hooks. Must be called before the core allocates anything, or
// with hooks that can release what the previous ones allocated. Calls that
// allocate on other threads meanwhile must be excluded by the caller (the
// module replaces its hooks only under the interpreter's lock).
void set_memory_hooks(MemoryHooks hooks) noexcept;
const MemoryHooks& memory_hooks() noexcept;

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
        void* memory = memory_hooks().allocate(count * sizeof(T));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* pointer, std::size_t) noexcept { memory_hooks().release(pointer); }

    template <class U>
    bool operator==(const CoreAllocator<U>&) const noexcept {
        return true;
    }
};

// Room for `count` values of a trivial type for the length of a call, not
// cleared first: inside the object while `count` is at most `Inline`, else
// from the hooks.
template <class T, std::size_t Inline>
class ScratchBuffer {
    static_assert(std::is_trivial_v<T>, "scratch room is not constructed");

public:
    explicit ScratchBuffer(std::size_t count) : count_(count) {
        if (count > Inline) data_ = CoreAllocator<T>().allocate(count);
    }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    ~ScratchBuffer() {
        if (data_ != inline_) CoreAllocator<T>().deallocate(data_, count_);
    }

    T* data() noexcept { return data_; }

private:
    std::size_t count_;
    T inline_[Inline];
    T* data_ = inline_;
};

// Owned UTF-8 text and the containers built on it.
using Text = std::basic_string<char, std::char_traits<char>, CoreAllocator<char>>;
template <class T>
using List = std::vector<T, CoreAllocator<T>>;
using TextList = List<Text>;

}  // namespace frasolet
