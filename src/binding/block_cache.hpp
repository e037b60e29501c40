// A few freed instance blocks of one class, kept to be used again.
//
// A loop that walks a collection of native records hands out one new object
// per step and frees the one before: taking the block back from here saves
// the object allocator both ways. Blocks come from and go back to the object
// allocator of one interpreter, so a cache lives in that interpreter's module
// state (zeroed memory: an empty cache), and is emptied when the state is
// cleared. It is bounded: a burst of frees beyond it goes back to the
// allocator as usual.
#pragma once

#include <cstddef>
#include <type_traits>

#include "binding/python.hpp"

namespace frasolet::binding {

class BlockCache {
public:
    static constexpr std::size_t kCapacity = 32;

    // A kept block, or null when none is.
    void* take() noexcept { return count_ == 0 ? nullptr : blocks_[--count_]; }

    // Keeps `block` (from PyObject_Malloc, of the class's instance size);
    // false, leaving it to the caller, when the cache is full.
    bool keep(void* block) noexcept {
        if (count_ == kCapacity) return false;
        blocks_[count_++] = block;
        return true;
    }

    // Returns every kept block to the object allocator.
    void release_all() noexcept {
        while (count_ != 0) PyObject_Free(blocks_[--count_]);
    }

private:
    // No initialisers: the type stays trivial, and zeroed memory is an empty
    // cache.
    std::size_t count_;
    void* blocks_[kCapacity];
};

static_assert(std::is_trivial_v<BlockCache> && std::is_standard_layout_v<BlockCache>,
              "module state is zeroed memory, never constructed");

}  // namespace frasolet::binding
