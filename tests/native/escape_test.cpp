// escape and its count on wide units (the forms of a str of two or four
// bytes per character) against a unit-at-a-time reference: an escapable character or
// a surrogate at every position within and across the 16-byte blocks of the
// vector path, among units that only resemble them (neighbours of the
// escapable range and of the surrogates, units whose low byte is '[' or
// '\'). Input and output room are allocated at their exact sizes, so an
// access past either fails under AddressSanitizer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/escape.hpp"

namespace frasolet {
namespace {

template <class Unit>
void check_wide_escape(std::initializer_list<std::uint32_t> fillers) {
    const std::vector<std::uint32_t> filler(fillers);
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            for (std::uint32_t special : {0x5cu, 0x5bu, 0x5du, 0xd800u, 0xdbffu, 0xdfffu}) {
                std::unique_ptr<Unit[]> text(new Unit[length]);
                for (std::size_t i = 0; i < length; ++i) {
                    text[i] = static_cast<Unit>(filler[(i * 5 + length) % filler.size()]);
                }
                if (at < length) text[at] = static_cast<Unit>(special);
                if (at + 3 < length) text[at + 3] = '[';  // a second one close by

                std::vector<Unit> expected;
                bool surrogate = false;
                for (std::size_t i = 0; i < length; ++i) {
                    const Unit unit = text[i];
                    if (unit == '\\' || unit == '[' || unit == ']') expected.push_back('\\');
                    expected.push_back(unit);
                    surrogate |= unit >= 0xd800 && unit <= 0xdfff;
                }
                const std::span<const Unit> units(text.get(), length);
                SCOPED_TRACE(::testing::Message()
                             << "length " << length << ", at " << at << ", special " << special);
                const std::optional<std::size_t> escapes = count_escapes(units);
                std::unique_ptr<Unit[]> out(new Unit[2 * length]);
                const std::optional<Unit*> end = write_escaped(out.get(), units);
                if (surrogate) {
                    EXPECT_FALSE(end.has_value());
                    EXPECT_FALSE(escapes.has_value());
                    continue;
                }
                ASSERT_TRUE(escapes.has_value());
                EXPECT_EQ(*escapes + length, expected.size());
                ASSERT_TRUE(end.has_value());
                ASSERT_EQ(*end - out.get(), static_cast<std::ptrdiff_t>(expected.size()));
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.get()));
            }
        }
    }
}

// The count of a long byte text, whose 8-bit lane counters are emptied
// before they can wrap.
TEST(Escape, CountOfLongByteText) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "ab[\xc3\xa9]\\\x5b";
    EXPECT_EQ(count_escapes(std::span<const char>(text)), std::optional<std::size_t>(4 * 5000));
}

TEST(Escape, TwoByteUnits) {
    check_wide_escape<char16_t>({'a', 0x5a, 0x5e, 0xd7ff, 0xe000, 0x4e2d, 0x805b, 0x5c5c, 0xffff});
}

TEST(Escape, FourByteUnits) {
    check_wide_escape<char32_t>(
        {'a', 0x5a, 0x5e, 0xd7ff, 0xe000, 0x1f642, 0x1005b, 0x5c00005c, 0x10d800, 0x10ffff});
}

}  // namespace
}  // namespace frasolet
