// The few things the sources ask of the compiler beyond standard C++:
// inlining hints, a byte swap, and choosing AVX2 code at run time. Each has a
// portable fallback, so that a compiler without the extension still builds
// the same program (only the hint or the wide scan is lost). Bit scans need
// nothing here: std::countr_zero is standard.
//
// Every layer may include this header; it includes only the standard library.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

// Inlining hints: GCC and clang spell them as gnu:: attributes, MSVC as
// msvc:: ones; other compilers ignore them.
#if __has_cpp_attribute(gnu::always_inline)
#define FRASOLET_ALWAYS_INLINE [[gnu::always_inline]]
#elif __has_cpp_attribute(msvc::forceinline)
#define FRASOLET_ALWAYS_INLINE [[msvc::forceinline]]
#else
#define FRASOLET_ALWAYS_INLINE
#endif

#if __has_cpp_attribute(gnu::noinline)
#define FRASOLET_NOINLINE [[gnu::noinline]]
#elif __has_cpp_attribute(msvc::noinline)
#define FRASOLET_NOINLINE [[msvc::noinline]]
#else
#define FRASOLET_NOINLINE
#endif

#if defined(__has_builtin)
#define FRASOLET_HAS_BUILTIN(name) __has_builtin(name)
#else
#define FRASOLET_HAS_BUILTIN(name) 0
#endif

// The caller's source location, as default arguments (binding/location.hpp):
// the builtins of GCC (11 on) and clang (14 on), which clang 14 has where it
// lacks std::source_location; the column only where the compiler has a
// builtin for it (clang), else from std::source_location (GCC). A compiler
// with neither builtin takes all four from std::source_location.
#if FRASOLET_HAS_BUILTIN(__builtin_FILE) && FRASOLET_HAS_BUILTIN(__builtin_LINE) && \
    FRASOLET_HAS_BUILTIN(__builtin_FUNCTION)
#define FRASOLET_CALLER_FILE() __builtin_FILE()
#define FRASOLET_CALLER_LINE() __builtin_LINE()
#define FRASOLET_CALLER_FUNCTION() __builtin_FUNCTION()
#else
#include <source_location>
#define FRASOLET_CALLER_FILE() std::source_location::current().file_name()
#define FRASOLET_CALLER_LINE() std::source_location::current().line()
#define FRASOLET_CALLER_FUNCTION() std::source_location::current().function_name()
#endif
#if FRASOLET_HAS_BUILTIN(__builtin_COLUMN)
#define FRASOLET_CALLER_COLUMN() __builtin_COLUMN()
#else
#include <source_location>
#define FRASOLET_CALLER_COLUMN() std::source_location::current().column()
#endif

// AVX2 code chosen at run time on x86-64: needs functions compiled for
// another instruction set than the rest (the target attribute) and a
// question to the processor (__builtin_cpu_supports). Without both, the
// scanners keep their SSE2 and byte-wise paths.
#if defined(__x86_64__) && __has_cpp_attribute(gnu::target) && \
    FRASOLET_HAS_BUILTIN(__builtin_cpu_supports)
#define FRASOLET_HAS_AVX2_DISPATCH 1
#define FRASOLET_TARGET_AVX2 [[gnu::target("avx2")]]
#endif

namespace frasolet::platform {

// The bytes of `value` in reverse order. The compilers this project is built
// with turn the shifts into one instruction; a builtin is not needed.
template <class Word>
constexpr Word byteswap(Word value) noexcept {
    static_assert(std::is_unsigned_v<Word>, "byteswap takes an unsigned word");
    Word swapped = 0;
    for (unsigned i = 0; i < sizeof(Word); ++i) {
        swapped = static_cast<Word>((swapped << 8) | (value & 0xFF));
        value = static_cast<Word>(value >> 8);
    }
    return swapped;
}
static_assert(byteswap<std::uint32_t>(0x01020304U) == 0x04030201U);
static_assert(byteswap<std::uint64_t>(0x0102030405060708ULL) == 0x0807060504030201ULL);

#if defined(FRASOLET_HAS_AVX2_DISPATCH)
// Whether the processor running the program has AVX2.
inline bool cpu_has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#endif

}  // namespace frasolet::platform
