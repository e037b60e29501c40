// Where in the source a fault was raised, captured at the call site.
//
// One small type in place of std::source_location, which clang 14 lacks (it
// has no __builtin_source_location, so libstdc++ leaves the class out). It
// is built on the builtins that GCC (11 and later) and clang (14 and later)
// both have: __builtin_FILE, __builtin_LINE and __builtin_FUNCTION (spelled
// in platform/compiler.hpp, with std::source_location as the fallback). The
// column comes from __builtin_COLUMN where the compiler has it (clang); GCC
// has none and gives its column only through std::source_location, which
// every GCC from 11 on has. As a default argument, `SourceLocation::current()`
// is the location of the caller, exactly as std::source_location::current()
// would be (tests/native/location_test.cpp compares the two where both exist),
// so the fault diagnostics print what they printed with the standard class.
#pragma once

#include "platform/compiler.hpp"

namespace frasolet::binding {

struct SourceLocation {
    const char* file = "";
    unsigned line = 0;
    unsigned column = 0;
    const char* function = "";

    // As a default argument, the location of the caller.
    static constexpr SourceLocation current(
        const char* file = FRASOLET_CALLER_FILE(), unsigned line = FRASOLET_CALLER_LINE(),
        unsigned column = FRASOLET_CALLER_COLUMN(),
        const char* function = FRASOLET_CALLER_FUNCTION()) noexcept {
        return SourceLocation{file, line, column, function};
    }
};

}  // namespace frasolet::binding
