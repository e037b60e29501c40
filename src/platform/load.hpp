// Unaligned loads of machine words from byte memory, for the word-at-a-time
// loops of the other layers (the ASCII tests and UTF-8 measures of str
// making, the hash's message words).
//
// Every layer may include this header; it includes only the standard library
// and compiler.hpp.
#pragma once

#include <bit>
#include <cstring>

#include "platform/compiler.hpp"

namespace frasolet::platform {

// The `sizeof(Word)` bytes at `bytes`, in memory order, whatever their
// alignment: one machine load (memcpy is how the language allows it).
template <class Word, class Byte>
FRASOLET_ALWAYS_INLINE inline Word load_word(const Byte* bytes) noexcept {
    static_assert(sizeof(Byte) == 1, "loads from byte memory");
    Word word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// The same bytes read as a little-endian number (the first byte lowest) on a
// processor of either byte order.
template <class Word, class Byte>
FRASOLET_ALWAYS_INLINE inline Word load_little_endian(const Byte* bytes) noexcept {
    Word word = load_word<Word>(bytes);
    if constexpr (std::endian::native == std::endian::big) word = byteswap(word);
    return word;
}

}  // namespace frasolet::platform
