// Where in the source a fault was raised, captured at the call site.
//
// std::source_location where the standard library has it; otherwise (clang
// before 15 has no support for it) the compiler builtins that every
// supported compiler has, without the column.
#pragma once

#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace frasolet::binding {

struct SourceLocation {
    const char* file = "";
    unsigned line = 0;
    unsigned column = 0;

    // As a default argument, the location of the caller.
#if defined(__cpp_lib_source_location)
    static constexpr SourceLocation current(
        std::source_location where = std::source_location::current()) noexcept {
        return SourceLocation{where.file_name(), static_cast<unsigned>(where.line()),
                              static_cast<unsigned>(where.column())};
    }
#else
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) noexcept {
        return SourceLocation{file, line, 0};
    }
#endif
};

}  // namespace frasolet::binding
