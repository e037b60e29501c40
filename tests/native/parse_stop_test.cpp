// Where and why a parse stops (parse_pieces, explain_stop, stop_message),
// and escape, which writes text that parses whole.

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/escape.hpp"
#include "core/parse_stop.hpp"
#include "core/parser.hpp"

namespace frasolet {
namespace {

class IgnoredPieces final : public PieceSink {
public:
    void text(std::string_view) override {}
    void placeholder(std::string_view, std::span<const std::string_view>) override {}
};

std::size_t read_length(std::string_view text) {
    IgnoredPieces sink;
    return parse_pieces(text, sink).length;
}

struct StopCase {
    std::string_view text;
    StopReason reason;
    std::size_t start;  // bytes
    std::size_t found;  // bytes
    std::string_view message_start;
};

// clang-format off
constexpr StopCase kStops[] = {
    {"ok ] rest", StopReason::stray_closing_bracket, 3, 3, "Found ']' outside a placeholder"},
    {"C:\\new", StopReason::unknown_escape, 2, 3, "Found 'n' after a backslash"},
    {"a\\\xc3\xa9", StopReason::unknown_escape, 1, 2, "Found '\xc3\xa9' after a backslash"},
    {"a\\\n", StopReason::unknown_escape, 1, 2, "Found '\\n' after a backslash"},
    {"Path: C:\\", StopReason::trailing_backslash, 8, 9, "Found the end of the text after a"},
    {"[]", StopReason::missing_name, 0, 1, "Found ']' after '['"},
    {"x [|a]", StopReason::missing_name, 2, 3, "Found '|' after '['"},
    {"[", StopReason::missing_name, 0, 1, "Found the end of the text after '['"},
    {"like [\"a\", \"b\"]", StopReason::name_not_closed, 5, 9, "Found ',' after the mask name"},
    {"[q and more", StopReason::name_not_closed, 0, 11, "Found the end of the text after the mask"},
    {"[a[b]]", StopReason::name_not_closed, 0, 2, "Found '[' after the mask name"},
    {"[x|,a]", StopReason::missing_option, 0, 3, "Found ',' right after '|'"},
    {"[x|a,#]", StopReason::separator_without_option, 0, 6, "Found ']' after a separator"},
    {"[x|a,|b]", StopReason::separator_without_option, 0, 5, "Found '|' after a separator"},
    {"[x|a|b]", StopReason::options_not_closed, 0, 4, "Found '|' after an option"},
    {"\xe4\xb8\xad[x|a[", StopReason::options_not_closed, 3, 7, "Found '[' after an option"},
    {"[x||]", StopReason::options_not_closed, 0, 3, "Found '|' right after '|'"},
    {"[x|", StopReason::options_not_closed, 0, 3, "Found the end of the text right after '|'"},
};
// clang-format on

TEST(ParseStop, EveryWayTheGrammarStops) {
    for (const StopCase& expected : kStops) {
        SCOPED_TRACE(std::string(expected.text));
        const std::size_t length = read_length(expected.text);
        ASSERT_EQ(length, expected.start);
        const ParseStop stop = explain_stop(expected.text, length);
        EXPECT_EQ(stop.reason, expected.reason);
        EXPECT_EQ(stop.start, expected.start);
        EXPECT_EQ(stop.found, expected.found);
        const std::string message = stop_message(expected.text, stop);
        EXPECT_EQ(message.substr(0, expected.message_start.size()), expected.message_start);
        // Every message says what to expect, on one line.
        EXPECT_NE(message.find(", expected "), std::string::npos);
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
}

TEST(ParseStop, LiteralSpellingIsSuggestedWhereItHelps) {
    const auto message = [](std::string_view text) {
        return stop_message(text, explain_stop(text, read_length(text)));
    };
    EXPECT_NE(message("a]").find("write \\] for a literal ']'"), std::string::npos);
    EXPECT_NE(message("a\\x").find("write \\\\ for a literal backslash"), std::string::npos);
    EXPECT_NE(message("a[b").find("write \\[ for a literal '['"), std::string::npos);
}

TEST(ParseStop, TextsThatReadWholeReportTheirSize) {
    for (std::string_view text : {"", "a", "Hi [name|a,b]! \\[x\\] \\\\", "[a][b|c#d]"}) {
        EXPECT_EQ(read_length(text), text.size()) << text;
    }
}

TEST(ParseStop, CodePointCount) {
    EXPECT_EQ(code_point_count(""), 0u);
    EXPECT_EQ(code_point_count("abc"), 3u);
    EXPECT_EQ(code_point_count("\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80!"), 4u);
}

std::string escape(std::string_view text) {
    std::string out(2 * text.size(), '\0');
    out.resize(static_cast<std::size_t>(write_escaped(out.data(), text) - out.data()));
    return out;
}

TEST(Escape, ReadsBackAsExactlyTheText) {
    std::string long_text;
    for (int i = 0; i < 300; ++i) long_text += i % 37 == 0 ? "\\[]" : "ab\xc3\xa9|#,";
    for (std::string_view text :
         {std::string_view("a"), std::string_view("\\"), std::string_view("[x|a,b]"),
          std::string_view("]\\\\["), std::string_view("C:\\new\\"), std::string_view(long_text)}) {
        const std::string escaped = escape(text);
        const ParseResult result = parse_template(escaped);
        const FragmentList& fragments = std::get<FragmentList>(result);
        ASSERT_EQ(fragments.size(), 1u) << text;
        EXPECT_TRUE(fragments[0].is_text());
        EXPECT_EQ(std::string_view(fragments[0].string.data(), fragments[0].string.size()), text);
    }
    EXPECT_EQ(escape(""), "");
    EXPECT_EQ(escape("a[b]\\c|#,"), "a\\[b\\]\\\\c|#,");
}

}  // namespace
}  // namespace frasolet
