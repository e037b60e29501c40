// The template text that reads back as exactly a given text.
//
// Works on the text's own code units: UTF-8 or Latin-1 bytes, or the 16-bit
// and 32-bit units of a text whose characters are all one unit wide (the
// forms a str keeps). The escapable characters are ASCII, and no unit of
// another character equals one of them in any of these forms.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "core/scan.hpp"

namespace frasolet {

namespace escape_detail {

// The escapable characters are '[', '\\' and ']', U+005B to U+005D.
constexpr std::uint32_t kFirstEscapable = '[';
static_assert('\\' == kFirstEscapable + 1 && ']' == kFirstEscapable + 2);

constexpr bool is_escapable(std::uint32_t code) noexcept { return code - kFirstEscapable < 3; }
// A surrogate code point (U+D800 to U+DFFF) has no UTF-8 form.
constexpr bool is_surrogate(std::uint32_t code) noexcept { return code - 0xd800 < 0x800; }

#if defined(FRASOLET_SCAN_SSE2)
// The lanes of a block of units, as all-ones lanes, that hold an escapable
// character: above U+005A and below U+005E, compared as signed numbers,
// which a byte from 0x80 on or a 16-bit unit from U+8000 on (negative in
// their lanes) never passes.
template <class Unit>
inline __m128i escapable_lanes(__m128i block) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        return _mm_and_si128(_mm_cmpgt_epi8(block, _mm_set1_epi8(kFirstEscapable - 1)),
                             _mm_cmplt_epi8(block, _mm_set1_epi8(kFirstEscapable + 3)));
    } else if constexpr (sizeof(Unit) == 2) {
        return _mm_and_si128(_mm_cmpgt_epi16(block, _mm_set1_epi16(kFirstEscapable - 1)),
                             _mm_cmplt_epi16(block, _mm_set1_epi16(kFirstEscapable + 3)));
    } else {
        return _mm_and_si128(_mm_cmpgt_epi32(block, _mm_set1_epi32(kFirstEscapable - 1)),
                             _mm_cmplt_epi32(block, _mm_set1_epi32(kFirstEscapable + 3)));
    }
}

// The lanes of a block of 16- or 32-bit units that hold a surrogate.
template <class Unit>
inline __m128i surrogate_lanes(__m128i block) noexcept {
    if constexpr (sizeof(Unit) == 2) {
        const __m128i high = _mm_and_si128(block, _mm_set1_epi16(static_cast<short>(0xf800)));
        return _mm_cmpeq_epi16(high, _mm_set1_epi16(static_cast<short>(0xd800)));
    } else {
        const __m128i high = _mm_and_si128(block, _mm_set1_epi32(~0x7ff));
        return _mm_cmpeq_epi32(high, _mm_set1_epi32(0xd800));
    }
}

inline __m128i load_block(const void* at) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(at));
}
#endif

#if defined(FRASOLET_SCAN_AVX2)
// The same lane tests 32 bytes at a time, for processors with AVX2.
template <class Unit>
FRASOLET_TARGET_AVX2 inline __m256i escapable_lanes(__m256i block) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        return _mm256_and_si256(_mm256_cmpgt_epi8(block, _mm256_set1_epi8(kFirstEscapable - 1)),
                                _mm256_cmpgt_epi8(_mm256_set1_epi8(kFirstEscapable + 3), block));
    } else if constexpr (sizeof(Unit) == 2) {
        return _mm256_and_si256(_mm256_cmpgt_epi16(block, _mm256_set1_epi16(kFirstEscapable - 1)),
                                _mm256_cmpgt_epi16(_mm256_set1_epi16(kFirstEscapable + 3), block));
    } else {
        return _mm256_and_si256(_mm256_cmpgt_epi32(block, _mm256_set1_epi32(kFirstEscapable - 1)),
                                _mm256_cmpgt_epi32(_mm256_set1_epi32(kFirstEscapable + 3), block));
    }
}

template <class Unit>
FRASOLET_TARGET_AVX2 inline __m256i surrogate_lanes(__m256i block) noexcept {
    if constexpr (sizeof(Unit) == 2) {
        const __m256i high = _mm256_and_si256(block, _mm256_set1_epi16(static_cast<short>(0xf800)));
        return _mm256_cmpeq_epi16(high, _mm256_set1_epi16(static_cast<short>(0xd800)));
    } else {
        const __m256i high = _mm256_and_si256(block, _mm256_set1_epi32(~0x7ff));
        return _mm256_cmpeq_epi32(high, _mm256_set1_epi32(0xd800));
    }
}

// write_escaped_units (below) over the 32-byte blocks from `p` on, the same
// way; returns where fewer than 32 bytes are left, with `out` moved on and
// `surrogate` set if a block of wide units held one.
template <class Unit>
FRASOLET_TARGET_AVX2 const Unit* write_escaped_avx2(Unit*& out, const Unit* p,
                                                    const Unit* const end,
                                                    bool& surrogate) noexcept {
    constexpr std::ptrdiff_t kUnits = 32 / sizeof(Unit);
    Unit* to = out;
    __m256i surrogates = _mm256_setzero_si256();
    while (end - p >= kUnits) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), block);
        if constexpr (sizeof(Unit) > 1) {
            surrogates = _mm256_or_si256(surrogates, surrogate_lanes<Unit>(block));
        }
        const auto mask =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(escapable_lanes<Unit>(block)));
        if (mask == 0) {
            p += kUnits;
            to += kUnits;
            continue;
        }
        const auto before = static_cast<std::size_t>(std::countr_zero(mask)) / sizeof(Unit);
        to[before] = '\\';
        to[before + 1] = p[before];
        to += before + 2;
        p += before + 1;
    }
    out = to;
    surrogate |= !_mm256_testz_si256(surrogates, surrogates);
    return p;
}
#endif

// The number of escapable characters of a text, or nothing when a text of
// wide units holds a surrogate: one pass with no branch on what the units
// hold, for a text too long to be written to scratch room first.
template <class Unit>
std::optional<std::size_t> count_escapes(const Unit* p, const Unit* const end) noexcept {
    std::size_t escapes = 0;
    bool surrogate = false;
#if defined(FRASOLET_SCAN_SSE2)
    constexpr std::ptrdiff_t kUnits = 16 / sizeof(Unit);
    // Per lane, the escapable characters seen, counted by subtracting the
    // all-ones (-1) hits; emptied into `escapes` before a lane of 8 or 16
    // bits can wrap.
    constexpr std::ptrdiff_t kBlocksPerFlush = sizeof(Unit) == 4 ? 1 << 20 : 127;
    __m128i surrogates = _mm_setzero_si128();
    while (end - p >= kUnits) {
        __m128i counts = _mm_setzero_si128();
        for (std::ptrdiff_t blocks = 0; blocks < kBlocksPerFlush && end - p >= kUnits;
             ++blocks, p += kUnits) {
            const __m128i block = load_block(p);
            if constexpr (sizeof(Unit) == 1) {
                counts = _mm_sub_epi8(counts, escapable_lanes<Unit>(block));
            } else if constexpr (sizeof(Unit) == 2) {
                counts = _mm_sub_epi16(counts, escapable_lanes<Unit>(block));
                surrogates = _mm_or_si128(surrogates, surrogate_lanes<Unit>(block));
            } else {
                counts = _mm_sub_epi32(counts, escapable_lanes<Unit>(block));
                surrogates = _mm_or_si128(surrogates, surrogate_lanes<Unit>(block));
            }
        }
        alignas(16) Unit lanes[kUnits];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), counts);
        for (const Unit lane : lanes) escapes += static_cast<std::make_unsigned_t<Unit>>(lane);
    }
    surrogate = _mm_movemask_epi8(surrogates) != 0;
#endif
    for (; p != end; ++p) {
        const auto code = static_cast<std::make_unsigned_t<Unit>>(*p);
        escapes += is_escapable(code);
        if constexpr (sizeof(Unit) > 1) surrogate |= is_surrogate(code);
    }
    if (surrogate) return std::nullopt;
    return escapes;
}

// Writes a text with a backslash before every escapable character to `out`,
// which has room for the text and its escapes (count_escapes); returns the
// end written, or nothing when a text of wide units holds a surrogate. One pass,
// that writes as it scans: a block is stored whole before it is looked at,
// and what follows an escapable character in it is written over at once.
template <class Unit>
std::optional<Unit*> write_escaped_units(Unit* out, const Unit* p, const Unit* const end) noexcept {
    static_assert(sizeof(Unit) == 1 || sizeof(Unit) == 2 || sizeof(Unit) == 4, "str units");
    bool surrogate = false;
#if defined(FRASOLET_SCAN_AVX2)
    if (scan::has_avx2) p = write_escaped_avx2(out, p, end, surrogate);
#endif
#if defined(FRASOLET_SCAN_SSE2)
    constexpr std::ptrdiff_t kUnits = 16 / sizeof(Unit);
    __m128i surrogates = _mm_setzero_si128();
    while (end - p >= kUnits) {
        const __m128i block = load_block(p);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
        if constexpr (sizeof(Unit) > 1) {
            surrogates = _mm_or_si128(surrogates, surrogate_lanes<Unit>(block));
        }
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(escapable_lanes<Unit>(block)));
        if (mask == 0) {
            p += kUnits;
            out += kUnits;
            continue;
        }
        const auto before = static_cast<std::size_t>(std::countr_zero(mask)) / sizeof(Unit);
        out[before] = '\\';
        out[before + 1] = p[before];
        out += before + 2;
        p += before + 1;
    }
    surrogate |= _mm_movemask_epi8(surrogates) != 0;
#endif
    for (; p != end; ++p) {
        const auto code = static_cast<std::make_unsigned_t<Unit>>(*p);
        if (is_escapable(code)) *out++ = '\\';
        if constexpr (sizeof(Unit) > 1) surrogate |= is_surrogate(code);
        *out++ = *p;
    }
    if (surrogate) return std::nullopt;
    return out;
}

}  // namespace escape_detail

// The number of escapable characters of a text of byte, 16- or 32-bit units,
// or nothing when a wide text holds a surrogate code point.
template <class Unit>
std::optional<std::size_t> count_escapes(std::span<const Unit> text) noexcept {
    return escape_detail::count_escapes(text.data(), text.data() + text.size());
}

// Writes the escaped form of byte text (UTF-8 or Latin-1) to `out`, which
// has room for it (twice the text always is); returns the end written. A
// block is stored whole while as many units of the text are left, and the
// room left is never less than that, so exact room is enough.
inline char* write_escaped(char* out, std::string_view text) noexcept {
    return *escape_detail::write_escaped_units(out, text.data(), text.data() + text.size());
}

// Writes the escaped form of a wide text (16- or 32-bit units) to `out`,
// which has room for it (twice the text always is); returns the end
// written, or nothing when the text holds a surrogate code point (what was
// written is then of no use).
template <class Unit>
std::optional<Unit*> write_escaped(Unit* out, std::span<const Unit> text) noexcept {
    static_assert(sizeof(Unit) > 1, "byte text is a std::string_view");
    return escape_detail::write_escaped_units(out, text.data(), text.data() + text.size());
}

}  // namespace frasolet
