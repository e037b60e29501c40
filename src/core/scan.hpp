// Byte scanners for the runs of the template grammar.
//
// All syntax characters are ASCII and a UTF-8 byte below 0x80 is always that
// ASCII character, so scanning bytes finds the same boundaries as scanning
// code points.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "platform/compiler.hpp"

// x86-64 compares 16 bytes at a time (SSE2) and, where the compiler can
// choose code at run time and the processor has AVX2, 64; every other
// architecture (aarch64 among them) takes the byte-wise path, which gives
// the same positions. Defining FRASOLET_PORTABLE_SCAN (the CMake option of
// that name) makes x86-64 take the byte-wise path too, so that its tests and
// fuzzers run it.
#if defined(__SSE2__) && !defined(FRASOLET_PORTABLE_SCAN)
#define FRASOLET_SCAN_SSE2 1
#include <emmintrin.h>
#endif
#if defined(FRASOLET_SCAN_SSE2) && defined(FRASOLET_HAS_AVX2_DISPATCH)
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
inline const char* find_first_in(const ByteSet& set, const char* p, const char* end) {
    while (p != end && !in(set, *p)) ++p;
    return p;
}

// First position in [p, end) whose byte is not in `set`, or `end`.
inline const char* find_first_not_in(const ByteSet& set, const char* p, const char* end) {
    while (p != end && in(set, *p)) ++p;
    return p;
}

#if defined(FRASOLET_SCAN_SSE2)
// The bit mask of the bytes of `block` that equal one of `Bytes`.
template <char... Bytes>
inline unsigned match_16(__m128i block) {
    __m128i hits = _mm_setzero_si128();
    ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(Bytes)))), ...);
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}

// The same for the 16 bytes at `at`.
template <char... Bytes>
inline unsigned match_16(const char* at) {
    return match_16<Bytes...>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
}
#endif

#if defined(FRASOLET_SCAN_AVX2)
// Whether the processor has AVX2, asked once when the library loads.
inline const bool has_avx2 = platform::cpu_has_avx2();

// The bytes of the 32 at `at` that equal one of `Bytes`, as a vector of
// all-ones bytes.
template <char... Bytes>
FRASOLET_TARGET_AVX2 inline __m256i match_32(const char* at) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    __m256i hits = _mm256_setzero_si256();
    ((hits = _mm256_or_si256(hits, _mm256_cmpeq_epi8(block, _mm256_set1_epi8(Bytes)))), ...);
    return hits;
}

// The text scan 64 bytes at a time, for processors with AVX2: the first
// backslash or square bracket, or where fewer than 64 bytes are left.
FRASOLET_TARGET_AVX2 inline const char* find_text_stop_avx2(const char* p, const char* end) {
    while (end - p >= 64) {
        const __m256i first_hits = match_32<'\\', '[', ']'>(p);
        const __m256i second_hits = match_32<'\\', '[', ']'>(p + 32);
        const __m256i any = _mm256_or_si256(first_hits, second_hits);
        if (!_mm256_testz_si256(any, any)) {
            const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(first_hits));
            if (mask != 0) return p + std::countr_zero(mask);
            return p + 32 +
                   std::countr_zero(static_cast<std::uint32_t>(_mm256_movemask_epi8(second_hits)));
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
#if defined(FRASOLET_SCAN_SSE2)
    // Short runs, the most common kind, end within their first block.
    if (end - p >= 16) {
        if (const unsigned mask = match_16<'\\', '[', ']'>(p); mask != 0) {
            return p + std::countr_zero(mask);
        }
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
        if (const unsigned mask = match_16<'\\', '[', ']'>(p); mask != 0) {
            return p + std::countr_zero(mask);
        }
        p += 16;
    }
#endif
    return find_first_in(text_stop, p, end);
}

// Copies the text run at `p`, up to the first backslash or square bracket or
// `end`, to `out`, and returns where the run ends. Bytes past the run's copy
// may be overwritten too: `out` must have room for `end - p` bytes. This is
// the copy between two escapes, which are often only a few bytes apart: a
// 16-byte block is stored whole and what follows the run is written over
// by the next copy, so a short run costs one load and one store; a run that
// goes on for several blocks is scanned and then copied whole.
inline const char* copy_text_run(const char* p, const char* end, char* out) {
#if defined(FRASOLET_SCAN_SSE2)
    for (int blocks = 0; end - p >= 16; ++blocks) {
        if (blocks == 4) {
            const char* const run_end = find_text_stop(p, end);
            std::memcpy(out, p, static_cast<std::size_t>(run_end - p));
            return run_end;
        }
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
        if (const unsigned mask = match_16<'\\', '[', ']'>(block); mask != 0) {
            return p + std::countr_zero(mask);
        }
        p += 16;
        out += 16;
    }
#endif
    while (p != end && !in(text_stop, *p)) *out++ = *p++;
    return p;
}

// First byte of the name stop set in [p, end), or `end`: where a mask name or
// an option ends. Names and options are short, so one block usually decides.
inline const char* find_name_stop(const char* p, const char* end) {
#if defined(FRASOLET_SCAN_SSE2)
    while (end - p >= 16) {
        if (const unsigned mask = match_16<'[', ']', '|', '#', ','>(p); mask != 0) {
            return p + std::countr_zero(mask);
        }
        p += 16;
    }
#endif
    return find_first_in(name_stop, p, end);
}

}  // namespace frasolet::scan
