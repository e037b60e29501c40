#include "core/parse_stop.hpp"

#include <cassert>
#include <cstdio>

namespace frasolet {
namespace {

// The bytes of the UTF-8 sequence that `lead` starts (1 for a stray byte).
std::size_t sequence_size(unsigned char lead) noexcept {
    if (lead >= 0xf0) return 4;
    if (lead >= 0xe0) return 3;
    if (lead >= 0xc0) return 2;
    return 1;
}

// The character at `at` as a message shows it: in quotes, with the ASCII
// control characters written as escapes so that the message stays one line;
// "the end of the text" past the end.
std::string describe_found(std::string_view text, std::size_t at) {
    if (at >= text.size()) return "the end of the text";
    const auto lead = static_cast<unsigned char>(text[at]);
    const char quote = lead == '\'' ? '"' : '\'';
    std::string shown(1, quote);
    switch (lead) {
        case '\n':
            shown += "\\n";
            break;
        case '\r':
            shown += "\\r";
            break;
        case '\t':
            shown += "\\t";
            break;
        default:
            if (lead < 0x20 || lead == 0x7f) {
                char escape[5];
                std::snprintf(escape, sizeof escape, "\\x%02x", lead);
                shown += escape;
            } else {
                shown += text.substr(at, sequence_size(lead));
            }
    }
    shown += quote;
    return shown;
}

constexpr const char* kLiteralBracket = " (write \\[ for a literal '[')";
constexpr const char* kLiteralBackslash = " (write \\\\ for a literal backslash)";

}  // namespace

std::string stop_message(std::string_view text, const ParseStop& stop) {
    const std::string found = "Found " + describe_found(text, stop.found);
    switch (stop.reason) {
        case StopReason::stray_closing_bracket:
            return found +
                   " outside a placeholder, expected text or '[' (write \\] for a literal ']')";
        case StopReason::unknown_escape:
        case StopReason::trailing_backslash:
            return found + " after a backslash, expected \\, [ or ]" + kLiteralBackslash;
        case StopReason::missing_name:
            return found + " after '[', expected a mask name" + kLiteralBracket;
        case StopReason::name_not_closed:
            return found + " after the mask name, expected '|' or ']'" + kLiteralBracket;
        case StopReason::missing_option:
            return found + " right after '|', expected an option or ']'" + kLiteralBracket;
        case StopReason::separator_without_option:
            return found + " after a separator, expected an option" + kLiteralBracket;
        case StopReason::options_not_closed:
            if (text[stop.found - 1] == '|') {
                return found + " right after '|', expected an option or ']'" + kLiteralBracket;
            }
            return found + " after an option, expected a separator or ']'" + kLiteralBracket;
    }
    assert(false && "every reason has its message");
    return found;
}

std::size_t code_point_count(std::string_view utf8) noexcept {
    std::size_t count = 0;
    for (const char byte : utf8) count += (static_cast<unsigned char>(byte) & 0xc0) != 0x80;
    return count;
}

}  // namespace frasolet
