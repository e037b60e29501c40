// The template text that reads back as exactly a given text.
//
// Works on byte units: UTF-8, or the Latin-1 units of a str that keeps its
// text one byte per character. The escapable characters are ASCII, and no
// byte of another character equals one of them in either form.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "core/scan.hpp"

namespace frasolet {

namespace escape_detail {

// The first '\', '[' or ']' in [p, end), or `end`, with the parser's scan.
template <class Unit>
const Unit* find_escapable(const Unit* p, const Unit* end) noexcept {
    static_assert(sizeof(Unit) == 1, "byte units only");
    const auto* bytes = reinterpret_cast<const char*>(p);
    return p + (scan::find_text_stop(bytes, reinterpret_cast<const char*>(end)) - bytes);
}

}  // namespace escape_detail

// The size of the escaped text: a backslash more for every '\', '[' and ']'.
template <class Unit>
std::size_t escaped_size(std::basic_string_view<Unit> text) noexcept {
    const Unit* p = text.data();
    const Unit* const end = p + text.size();
    std::size_t size = text.size();
    while ((p = escape_detail::find_escapable(p, end)) != end) {
        ++size;
        ++p;
    }
    return size;
}

// Writes `text` with a backslash before every '\', '[' and ']' to `out`,
// which has room for escaped_size(text) units; returns the end written.
template <class Unit>
Unit* write_escaped(Unit* out, std::basic_string_view<Unit> text) noexcept {
    const Unit* p = text.data();
    const Unit* const end = p + text.size();
    for (;;) {
        const Unit* stop = escape_detail::find_escapable(p, end);
        if (stop != p) {  // `p` may be null for an empty text
            std::memcpy(out, p, static_cast<std::size_t>(stop - p));
            out += stop - p;
        }
        if (stop == end) return out;
        *out++ = '\\';
        *out++ = *stop;
        p = stop + 1;
    }
}

}  // namespace frasolet
