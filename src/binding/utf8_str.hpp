// Making a str from UTF-8 text without a validating decode.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "binding/internal_fault.hpp"
#include "binding/owned.hpp"
#include "platform/compiler.hpp"
#include "platform/load.hpp"

namespace frasolet::binding {

namespace utf8_str_detail {

using platform::load_word;

// Copies `size` bytes, from one to two words' worth, as two possibly
// overlapping words: the first and the last.
template <class Word>
FRASOLET_ALWAYS_INLINE inline void copy_first_and_last_word(char* out, const char* in,
                                                            std::size_t size) noexcept {
    assert(size >= sizeof(Word) && size <= 2 * sizeof(Word));
    const Word first = load_word<Word>(in);
    const Word last = load_word<Word>(in + size - sizeof(Word));
    std::memcpy(out, &first, sizeof(Word));
    std::memcpy(out + size - sizeof(Word), &last, sizeof(Word));
}

// Copies `size` bytes. Texts a str is made from are mostly a few words: up
// to 16 bytes they move as two words (no byte outside either range is
// touched), longer ones go to memcpy.
FRASOLET_ALWAYS_INLINE inline void copy_bytes(char* out, const char* in, std::size_t size) {
    if (size > 16) {
        std::memcpy(out, in, size);
    } else if (size >= 8) {
        copy_first_and_last_word<std::uint64_t>(out, in, size);
    } else if (size >= 4) {
        copy_first_and_last_word<std::uint32_t>(out, in, size);
    } else {
        for (std::size_t i = 0; i < size; ++i) out[i] = in[i];
    }
}

// The memo of an ASCII text has these low bits (utf8_str.cpp).
constexpr std::uint64_t kMemoCodeBits = 7;
constexpr std::uint64_t kAsciiMemoCode = 1;

Owned make_str_from_memo(std::string_view text, std::uint64_t& shape_memo);

}  // namespace utf8_str_detail

// Whether every byte of `text` is ASCII: a word at a time, the last word
// overlapping the one before (no byte outside the text is read).
inline bool is_ascii(std::string_view text) noexcept {
    using utf8_str_detail::load_word;
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    const char* bytes = text.data();
    const std::size_t size = text.size();
    std::uint64_t seen = 0;
    if (size >= 8) {
        // Non-ASCII text is usually told by its first word.
        if ((load_word<std::uint64_t>(bytes) & kHighBits) != 0) return false;
        for (std::size_t i = 8; i + 8 <= size; i += 8) seen |= load_word<std::uint64_t>(bytes + i);
        seen |= load_word<std::uint64_t>(bytes + size - 8);
    } else if (size >= 4) {
        seen = load_word<std::uint32_t>(bytes) | load_word<std::uint32_t>(bytes + size - 4);
    } else {
        for (std::size_t i = 0; i < size; ++i) seen |= static_cast<unsigned char>(bytes[i]);
    }
    return (seen & kHighBits) == 0;
}

// A new str from ASCII text. Ends in an internal fault when the interpreter
// cannot make it.
FRASOLET_ALWAYS_INLINE inline Owned make_ascii_str(std::string_view text) {
    if (text.size() == 1) {
        // The interpreter keeps one str per such character.
        Owned object = Owned::steal(PyUnicode_FromOrdinal(static_cast<unsigned char>(text[0])));
        if (!object) throw_api_call_failed();
        return object;
    }
    Owned object = Owned::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    if (!object) throw_api_call_failed();
    // A str made for at most U+007F is compact ASCII: its characters follow
    // the header at once (what PyUnicode_1BYTE_DATA finds after its tests).
    assert(PyUnicode_IS_COMPACT_ASCII(object.get()));
    char* data = reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(object.get()) + 1);
    utf8_str_detail::copy_bytes(data, text.data(), text.size());
    return object;
}

// A new str from valid UTF-8 text (what every str's UTF-8 form and every
// part of one cut at ASCII bytes is). Ends in an internal fault when the
// interpreter cannot make it.
Owned make_str(std::string_view text);
// The same for a text that is made into a str again and again: `shape_memo`,
// kept beside the text and 0 until the first call, holds what that call
// learnt of it (its code points and its widest character), so that later
// calls only copy or widen.
inline Owned make_str(std::string_view text, std::uint64_t& shape_memo) {
    using namespace utf8_str_detail;
    if ((shape_memo & kMemoCodeBits) == kAsciiMemoCode) return make_ascii_str(text);
    return make_str_from_memo(text, shape_memo);
}

}  // namespace frasolet::binding
