#include "core/allocator.hpp"

#include <cstdlib>

namespace frasolet {
namespace {

void* allocate_with_malloc(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }
void release_with_free(void* pointer) { std::free(pointer); }

// Constant-initialised, so that hooks installed by another file's initialiser at
// load time are never overwritten by this one.
constinit MemoryHooks current_hooks{allocate_with_malloc, release_with_free};

}  // namespace

void set_memory_hooks(MemoryHooks hooks) noexcept { current_hooks = hooks; }
const MemoryHooks& memory_hooks() noexcept { return current_hooks; }

}  // namespace frasolet
