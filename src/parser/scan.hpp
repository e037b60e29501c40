// Byte scanners for the runs of the template grammar.
//
// All syntax characters are ASCII and a UTF-8 byte below 0x80 is always that
// ASCII character, so scanning bytes finds the same boundaries as scanning
// code points.
#pragma once

#include <array>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace frasolet::scan {

using ByteSet = std::array<bool, 256>;

constexpr ByteSet make_set(const char* members) {
    ByteSet set{};
    for (const char* c = members; *c != '\0'; ++c) set[static_cast<unsigned char>(*c)] = true;
    return set;
}

// Ends a text run.
inline constexpr ByteSet text_stop = make_set("\\[]");
// Ends a mask name or an option.
inline constexpr ByteSet name_stop = make_set("[]|#,");
// Separates options.
inline constexpr ByteSet separator = make_set("#,");

inline bool in(const ByteSet& set, char c) { return set[static_cast<unsigned char>(c)]; }

// First position in [p, end) whose byte is in `set`, or `end`. For the
// short runs of names, options and separators.
inline const char* skip_outside(const ByteSet& set, const char* p, const char* end) {
    while (p != end && !in(set, *p)) ++p;
    return p;
}

inline const char* skip_inside(const ByteSet& set, const char* p, const char* end) {
    while (p != end && in(set, *p)) ++p;
    return p;
}

// First backslash or square bracket in [p, end), or `end`. Text runs are the
// bulk of large templates, so this one compares 16 bytes at a time.
inline const char* find_text_stop(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i open = _mm_set1_epi8('[');
    const __m128i close = _mm_set1_epi8(']');
    while (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hits = _mm_or_si128(
            _mm_cmpeq_epi8(block, backslash),
            _mm_or_si128(_mm_cmpeq_epi8(block, open), _mm_cmpeq_epi8(block, close)));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 16;
    }
#endif
    return skip_outside(text_stop, p, end);
}

}  // namespace frasolet::scan
