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
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define FRASOLET_SCAN_AVX2 1
#include <immintrin.h>
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

// First position in [p, end) whose byte is in `set`, or `end`, a byte at a
// time: for the last bytes that the block scanners below leave over.
inline const char* skip_outside(const ByteSet& set, const char* p, const char* end) {
    while (p != end && !in(set, *p)) ++p;
    return p;
}

inline const char* skip_inside(const ByteSet& set, const char* p, const char* end) {
    while (p != end && in(set, *p)) ++p;
    return p;
}

#if defined(FRASOLET_SCAN_AVX2)
// Whether the processor has AVX2, asked once when the library loads.
inline const bool has_avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

// The text scan 64 bytes at a time, for processors with AVX2: the first
// backslash or square bracket, or where fewer than 64 bytes are left.
[[gnu::target("avx2")]] inline const char* find_text_stop_avx2(const char* p, const char* end) {
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i open = _mm256_set1_epi8('[');
    const __m256i close = _mm256_set1_epi8(']');
    while (end - p >= 64) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        const __m256i first_hits = _mm256_or_si256(
            _mm256_cmpeq_epi8(first, backslash),
            _mm256_or_si256(_mm256_cmpeq_epi8(first, open), _mm256_cmpeq_epi8(first, close)));
        const __m256i second_hits = _mm256_or_si256(
            _mm256_cmpeq_epi8(second, backslash),
            _mm256_or_si256(_mm256_cmpeq_epi8(second, open), _mm256_cmpeq_epi8(second, close)));
        const __m256i any = _mm256_or_si256(first_hits, second_hits);
        if (!_mm256_testz_si256(any, any)) {
            const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(first_hits));
            if (mask != 0) return p + __builtin_ctz(mask);
            return p + 32 +
                   __builtin_ctz(static_cast<std::uint32_t>(_mm256_movemask_epi8(second_hits)));
        }
        p += 64;
    }
    return p;
}
#endif

// First backslash or square bracket in [p, end), or `end`. Text runs are the
// bulk of large templates, so this one compares 16 bytes at a time, and a
// run that goes on past its first block 64 at a time with AVX2.
inline const char* find_text_stop(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i open = _mm_set1_epi8('[');
    const __m128i close = _mm_set1_epi8(']');
    const auto block_hits = [&](const char* at) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i hits = _mm_or_si128(
            _mm_cmpeq_epi8(block, backslash),
            _mm_or_si128(_mm_cmpeq_epi8(block, open), _mm_cmpeq_epi8(block, close)));
        return static_cast<unsigned>(_mm_movemask_epi8(hits));
    };
    // Short runs, the most common kind, end within their first block.
    if (end - p >= 16) {
        if (const unsigned mask = block_hits(p); mask != 0) return p + __builtin_ctz(mask);
        p += 16;
    }
#if defined(FRASOLET_SCAN_AVX2)
    if (end - p >= 256 && has_avx2) {
        // The wide scan leaves fewer than 64 bytes only when it found no stop
        // before them; a stop it found that close to the end is found again
        // at once below.
        p = find_text_stop_avx2(p, end);
        if (end - p >= 64) return p;
    }
#endif
    while (end - p >= 16) {
        if (const unsigned mask = block_hits(p); mask != 0) return p + __builtin_ctz(mask);
        p += 16;
    }
#endif
    return skip_outside(text_stop, p, end);
}

// First byte of the name stop set in [p, end), or `end`: where a mask name or
// an option ends. Names and options are short, so one block usually decides.
inline const char* find_name_stop(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i open = _mm_set1_epi8('[');
    const __m128i close = _mm_set1_epi8(']');
    const __m128i bar = _mm_set1_epi8('|');
    const __m128i hash = _mm_set1_epi8('#');
    const __m128i comma = _mm_set1_epi8(',');
    while (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i brackets =
            _mm_or_si128(_mm_cmpeq_epi8(block, open), _mm_cmpeq_epi8(block, close));
        const __m128i separators =
            _mm_or_si128(_mm_cmpeq_epi8(block, hash), _mm_cmpeq_epi8(block, comma));
        const __m128i hits =
            _mm_or_si128(_mm_or_si128(brackets, separators), _mm_cmpeq_epi8(block, bar));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 16;
    }
#endif
    return skip_outside(name_stop, p, end);
}

}  // namespace frasolet::scan
