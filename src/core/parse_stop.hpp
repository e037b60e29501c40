// Why a parse stopped before the end of its text.
//
// The parse loop only says where it stopped (parse_pieces); the reason is
// found afterwards by reading the piece at that position again, so a parse
// whose caller does not ask pays nothing for it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace frasolet {

// One for every way the grammar stops.
enum class StopReason {
    stray_closing_bracket,     // ']' outside a placeholder
    unknown_escape,            // '\' before a character other than '\', '[' and ']'
    trailing_backslash,        // '\' as the last character
    missing_name,              // '[' followed by no mask name
    name_not_closed,           // a mask name followed by neither '|' nor ']'
    missing_option,            // a separator right after '|'
    separator_without_option,  // a separator run that no option follows
    options_not_closed,        // options followed by a second '|', a '[' or the end
};

// Byte offsets into the parsed text.
struct ParseStop {
    StopReason reason;
    std::size_t start;  // where the failed piece begins: where the parse stopped
    std::size_t found;  // the character that broke it, or the text's size for its end
};

// Why the parse of `text` stopped at `stop`, the length parse_pieces read;
// `stop` must be before the end of the text.
ParseStop explain_stop(std::string_view text, std::size_t stop);

// What was found and what was expected, and how to write the character
// literally where that helps. `text` is the parsed text, for naming the
// character that was found.
std::string stop_message(std::string_view text, const ParseStop& stop);

// The number of code points in `utf8`, which must be valid UTF-8.
std::size_t code_point_count(std::string_view utf8) noexcept;

}  // namespace frasolet
