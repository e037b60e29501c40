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

// Every way the grammar stops, with the character it names, is a row of
// the table in tests/python/test_strict.py, which reads it through the module.

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
