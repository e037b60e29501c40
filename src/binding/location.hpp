// Where in the source a fault was raised, captured at the call site.
//
// One small type in place of std::source_location, which clang 14 lacks (it
// has no __builtin_source_location, so libstdc++ leaves the class out). It
// is built on the builtins that GCC (11 and later) and clang (14 and later)
// both have: __builtin_FILE, __builtin_LINE and __builtin_FUNCTION. The
// column comes from __builtin_COLUMN where the compiler has it (clang); GCC
// has none and gives its column only through std::source_location, which
// every GCC from 11 on has. As a default argument, `SourceLocation::current()`
// is the location of the caller, exactly as std::source_location::current()
// would be (tests/native/location_test.cpp compares the two where both exist),
// so the fault diagnostics print what they printed with the standard class.
#pragma once

#if defined(__has_builtin)
#if __has_builtin(__builtin_COLUMN)
#define FRASOLET_HAS_BUILTIN_COLUMN 1
#endif
#endif

#ifdef FRASOLET_HAS_BUILTIN_COLUMN
#define FRASOLET_CALLER_COLUMN() __builtin_COLUMN()
#else
#include <source_location>
#define FRASOLET_CALLER_COLUMN() std::source_location::current().column()
#endif

namespace frasolet::binding {

struct SourceLocation {
    const char* file = "";
    unsigned line = 0;
    unsigned column = 0;
    const char* function = "";

    // As a default argument, the location of the caller.
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE(),
                                            unsigned column = FRASOLET_CALLER_COLUMN(),
                                            const char* function = __builtin_FUNCTION()) noexcept {
        return SourceLocation{file, line, column, function};
    }
};

}  // namespace frasolet::binding
