// The template text that reads back as exactly a given text.
#pragma once

#include <cstddef>
#include <string_view>

namespace frasolet {

// The size of escape(text): a backslash more for every '\', '[' and ']'.
std::size_t escaped_size(std::string_view text) noexcept;

// Writes `text` with a backslash before every '\', '[' and ']' to `out`,
// which has room for escaped_size(text) bytes; returns the end written.
char* write_escaped(char* out, std::string_view text) noexcept;

}  // namespace frasolet
