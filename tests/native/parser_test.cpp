// The template parser: grammar cases, the block scanner, long inputs.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/allocator.hpp"
#include "core/parser.hpp"

namespace frasolet {
namespace {

// A fragment in plain standard types, so that expectations read naturally
// and failures print legibly.
struct Piece {
    std::string string;
    std::optional<std::vector<std::string>> options;

    bool operator==(const Piece&) const = default;
};

// Quotes a byte string with control and non-ASCII bytes as \xNN.
std::string printable(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void PrintTo(const Piece& piece, std::ostream* os) {
    if (!piece.options) {
        *os << "text " << printable(piece.string);
        return;
    }
    *os << "placeholder " << printable(piece.string) << " [";
    const char* separator = "";
    for (const std::string& option : *piece.options) {
        *os << separator << printable(option);
        separator = ", ";
    }
    *os << "]";
}

Piece text(std::string string) { return Piece{std::move(string), std::nullopt}; }
Piece placeholder(std::string name, std::vector<std::string> options = {}) {
    return Piece{std::move(name), std::move(options)};
}

std::vector<Piece> parse(std::string_view input) {
    ParseResult result = parse_template(input);
    if (const auto* failure = std::get_if<ParseFailure>(&result)) {
        ADD_FAILURE() << "unexpected failure report: " << failure->message();
        return {};
    }
    std::vector<Piece> pieces;
    for (const Fragment& fragment : std::get<FragmentList>(result)) {
        Piece piece{std::string(fragment.string.data(), fragment.string.size()), std::nullopt};
        if (fragment.options) {
            piece.options.emplace();
            for (const Text& option : *fragment.options)
                piece.options->emplace_back(option.data(), option.size());
        }
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

struct GrammarCase {
    std::string input;
    std::vector<Piece> expected;
};

void PrintTo(const GrammarCase& c, std::ostream* os) { *os << printable(c.input); }

class Grammar : public ::testing::TestWithParam<GrammarCase> {};

TEST_P(Grammar, Parses) { EXPECT_EQ(parse(GetParam().input), GetParam().expected); }

// Backslashes in the inputs below are single characters (raw literals).
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, Grammar,
    ::testing::Values(
        GrammarCase{"", {}},
        GrammarCase{"Hello, world | #1", {text("Hello, world | #1")}},
        GrammarCase{"Hi [name]!", {text("Hi "), placeholder("name"), text("!")}},
        GrammarCase{"a[b]c[d|e]f",
                    {text("a"), placeholder("b"), text("c"), placeholder("d", {"e"}), text("f")}},
        GrammarCase{"[color|red,green#blue]", {placeholder("color", {"red", "green", "blue"})}},
        GrammarCase{"[x|a,,b#,c]", {placeholder("x", {"a", "b", "c"})}},
        GrammarCase{"[x|]", {placeholder("x")}},
        GrammarCase{"[x]", {placeholder("x")}},
        GrammarCase{"[ a b | c d ]", {placeholder(" a b ", {" c d "})}},
        GrammarCase{"[a][b]", {placeholder("a"), placeholder("b")}},
        GrammarCase{R"(a\[b\]c\\d)", {text(R"(a[b]c\d)")}},
        GrammarCase{R"(\[a])", {text("[a")}},
        GrammarCase{"[a|b]]", {placeholder("a", {"b"})}},
        GrammarCase{"ab]cd", {text("ab")}},
        GrammarCase{R"(ab\ncd)", {text("ab")}},
        GrammarCase{R"(ab\)", {text("ab")}},
        GrammarCase{"pre [name post", {text("pre ")}},
        GrammarCase{"pre []", {text("pre ")}},
        GrammarCase{"[|a]", {}},
        GrammarCase{"[a[b]]", {}},
        GrammarCase{"x [a#b] y", {text("x ")}},
        GrammarCase{"[a|b,] y", {}},
        GrammarCase{"[a|b|c]", {}},
        GrammarCase{R"([a\b])", {placeholder(R"(a\b)")}},
        GrammarCase{R"([a\]b])", {placeholder(R"(a\)"), text("b")}},
        GrammarCase{"é[ü|ö,ß]", {text("é"), placeholder("ü", {"ö", "ß"})}},
        GrammarCase{"one\n\ttwo [a\tb|c\nd] three\r\n",
                    {text("one\n\ttwo "), placeholder("a\tb", {"c\nd"}), text(" three\r\n")}},
        // Malformed templates end the parse without any report.
        GrammarCase{"a [b", {text("a ")}},
        GrammarCase{"a ] b", {text("a ")}},
        GrammarCase{R"(a \)", {text("a ")}},
        GrammarCase{"[]", {}},
        // Further stop positions and merge boundaries.
        GrammarCase{"[a|,b]", {}},
        GrammarCase{"[a,b]", {}},
        GrammarCase{"[a#]", {}},
        GrammarCase{"[a|b", {}},
        GrammarCase{"[a|b#,", {}},
        GrammarCase{"[[a]]", {}},
        GrammarCase{"x[a|b#]", {text("x")}},
        GrammarCase{"]", {}},
        GrammarCase{R"(\)", {}},
        GrammarCase{R"(\])", {text("]")}},
        GrammarCase{R"(\\\[\])", {text(R"(\[])")}},
        GrammarCase{R"([a|b]\]c)", {placeholder("a", {"b"}), text("]c")}},
        GrammarCase{R"(a\[[b]\[)", {text("a["), placeholder("b"), text("[")}},
        GrammarCase{"[a|b#c,d]rest[", {placeholder("a", {"b", "c", "d"}), text("rest")}},
        GrammarCase{std::string("a\0b[c\0|\0]", 9), {text(std::string("a\0b", 3)),
                                                      placeholder(std::string("c\0", 2),
                                                                  {std::string("\0", 1)})}}));
// clang-format on

// The text scanner compares 16 bytes at a time; a stop byte must be found at
// every offset within and across blocks. The filler mixes ASCII with bytes
// >= 0x80, among them 0xDB/0xDC/0xDD whose low seven bits are '[', '\', ']'.
std::string filler(std::size_t length) {
    static constexpr unsigned char kBytes[] = {'x',  0xdb, 0xc3, 0xa9, 0xdc, ' ', 0x80,
                                               0xdd, 0xff, 0xe2, 0x82, 0xac, 0x7f};
    std::string out;
    for (std::size_t i = 0; i < length; ++i)
        out.push_back(static_cast<char>(kBytes[i % sizeof kBytes]));
    return out;
}

TEST(TextScan, StopByteAtEveryOffset) {
    const std::string tail = filler(45);
    for (std::size_t offset = 0; offset <= 40; ++offset) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        const std::string head = filler(offset);
        const auto head_text = [&](std::vector<Piece> rest) {
            if (offset != 0) rest.insert(rest.begin(), text(head));
            return rest;
        };

        // Without any stop byte the whole input is one run.
        EXPECT_EQ(parse(head), head.empty() ? std::vector<Piece>{} : std::vector{text(head)});
        // ']' ends the parse right there, also as the very last byte.
        EXPECT_EQ(parse(head + "]" + tail), head_text({}));
        EXPECT_EQ(parse(head + "]"), head_text({}));
        // '[' opens a placeholder; text resumes after it.
        EXPECT_EQ(parse(head + "[m|o]" + tail), head_text({placeholder("m", {"o"}), text(tail)}));
        // '\' escapes and the run continues into one fragment.
        EXPECT_EQ(parse(head + "\\[" + tail), std::vector{text(head + "[" + tail)});
        EXPECT_EQ(parse(head + "\\\\"), std::vector{text(head + "\\")});
    }
}

// The unescaping copy stores whole 16-byte blocks and moves on by the run it
// found, and after four blocks scans and copies the rest of a long run: runs
// of every length up to past that, between escapes of all three kinds, in a
// region ended by every kind of stop. The input is allocated at its exact
// size, so a read past it fails under AddressSanitizer (as does a write past
// the parse's own buffer).
TEST(TextScan, EscapeDenseRegions) {
    const auto parse_exact = [](const std::string& input) {
        const std::unique_ptr<char[]> copy(new char[input.size()]);
        input.copy(copy.get(), input.size());
        return parse(std::string_view(copy.get(), input.size()));
    };
    for (std::size_t gap = 0; gap <= 80; ++gap) {
        SCOPED_TRACE("gap " + std::to_string(gap));
        std::string input, expected;
        for (std::size_t i = 0; i < 24; ++i) {
            const std::string run = filler((gap * 5 + i * 3) % (gap + 1));
            const char escaped = "\\[]"[i % 3];
            input += run + '\\' + escaped;
            expected += run + escaped;
        }
        const std::string tail = filler(gap);
        const std::string region = input + tail;
        expected += tail;
        EXPECT_EQ(parse_exact(region), std::vector{text(expected)});
        EXPECT_EQ(parse_exact(region + "\\n" + tail), std::vector{text(expected)});
        EXPECT_EQ(parse_exact(region + "\\"), std::vector{text(expected)});
        EXPECT_EQ(parse_exact(region + "]" + input), std::vector{text(expected)});
        EXPECT_EQ(parse_exact(region + "[m]\\[" + tail),
                  (std::vector{text(expected), placeholder("m"), text("[" + tail)}));
    }
}

TEST(LongInput, MegabyteOfTextIsOneFragment) {
    const std::string input = filler(1 << 20);
    EXPECT_EQ(parse(input), std::vector{text(input)});

    // Escapes spread through it still merge into a single fragment.
    std::string escaped, expected;
    for (int i = 0; i < 4096; ++i) {
        const std::string chunk = filler(static_cast<std::size_t>(i % 61));
        escaped += chunk + "\\]";
        expected += chunk + "]";
    }
    EXPECT_EQ(parse(escaped), std::vector{text(expected)});
}

TEST(LongInput, HundredThousandPlaceholders) {
    constexpr std::size_t kCount = 100000;
    std::string input;
    for (std::size_t i = 0; i < kCount; ++i)
        input += "t" + std::to_string(i) + "[p" + std::to_string(i) + "|a,b#c]";
    input += "]ignored";

    const std::vector<Piece> pieces = parse(input);
    ASSERT_EQ(pieces.size(), 2 * kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(pieces[2 * i], text("t" + std::to_string(i))) << i;
        ASSERT_EQ(pieces[2 * i + 1], placeholder("p" + std::to_string(i), {"a", "b", "c"})) << i;
    }
}

TEST(LongInput, HundredThousandEscapesMerge) {
    std::string input;
    for (int i = 0; i < 100000; ++i) input += "\\[";
    EXPECT_EQ(parse(input), std::vector{text(std::string(100000, '['))});
}

// Every allocation the parser makes goes through the core's hooks, so the
// embedding's accounting sees it.
std::size_t live_allocations = 0;
std::size_t total_allocations = 0;

TEST(MemoryHooks, ParserAllocatesThroughHooks) {
    const MemoryHooks previous = memory_hooks();
    set_memory_hooks(MemoryHooks{[](std::size_t size) -> void* {
                                     ++live_allocations;
                                     ++total_allocations;
                                     return std::malloc(size == 0 ? 1 : size);
                                 },
                                 [](void* pointer) {
                                     if (pointer != nullptr) --live_allocations;
                                     std::free(pointer);
                                 }});
    {
        ParseResult result = parse_template(
            "a long enough text run to leave the small-string buffer "
            "[name|first option,second option#third option]");
        ASSERT_TRUE(std::holds_alternative<FragmentList>(result));
        EXPECT_GT(total_allocations, 0u);
        EXPECT_GT(live_allocations, 0u);
    }
    EXPECT_EQ(live_allocations, 0u);
    set_memory_hooks(previous);
}

}  // namespace
}  // namespace frasolet
