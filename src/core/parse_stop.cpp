#include "core/parse_stop.hpp"

#include <cassert>
#include <cstdio>

#include "core/option_list.hpp"
#include "core/scan.hpp"

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

// Options read again are not kept.
struct NoOptions {
    void emplace_back(const char*, std::size_t) noexcept {}
};

}  // namespace

// Reads the piece at `stop` again, the way parse_pieces tried it, up to the
// character that ended it.
ParseStop explain_stop(std::string_view text, std::size_t stop) {
    assert(stop < text.size());
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* const p = begin + stop;
    const auto stopped = [&](StopReason reason, const char* found) {
        return ParseStop{reason, stop, static_cast<std::size_t>(found - begin)};
    };
    if (*p == ']') return stopped(StopReason::stray_closing_bracket, p);
    if (*p == '\\') {
        if (p + 1 == end) return stopped(StopReason::trailing_backslash, end);
        return stopped(StopReason::unknown_escape, p + 1);
    }
    // Nothing else stops a parse: any other character begins a text run.
    assert(*p == '[');
    const char* const name_end = scan::find_name_stop(p + 1, end);
    if (name_end == p + 1) return stopped(StopReason::missing_name, name_end);
    if (name_end == end || *name_end != '|') return stopped(StopReason::name_not_closed, name_end);
    const char* const options = name_end + 1;
    NoOptions unused;
    const char* const options_end = read_option_list(options, end, unused);
    if (options_end != end && scan::in(scan::separator, *options_end)) {
        if (options_end == options) return stopped(StopReason::missing_option, options_end);
        return stopped(StopReason::separator_without_option,
                       scan::find_first_not_in(scan::separator, options_end, end));
    }
    // A match would have ended with ']' here.
    assert(options_end == end || *options_end != ']');
    return stopped(StopReason::options_not_closed, options_end);
}

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
