// SipHash-1-3 fed incrementally must agree with feeding the same bytes at once.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/siphash.hpp"

namespace frasolet {
namespace {

// 64 distinct bytes, including ones at and above 0x80 so that sign extension
// in the word loader would show.
std::string message_bytes() {
    std::string bytes;
    for (int i = 0; i < 64; ++i) bytes.push_back(static_cast<char>((i * 73 + 0x81) & 0xff));
    return bytes;
}

std::uint64_t one_shot(std::string_view bytes) {
    SipHasher13 hasher;
    hasher.update(bytes);
    return hasher.finish();
}

TEST(SipHasher13, SplitFeedingEqualsOneShotAtEveryPoint) {
    const std::string bytes = message_bytes();
    for (std::size_t length = 0; length <= 40; ++length) {
        const std::string_view message(bytes.data(), length);
        const std::uint64_t expected = one_shot(message);
        for (std::size_t split = 0; split <= length; ++split) {
            SipHasher13 hasher;
            hasher.update(message.substr(0, split));
            hasher.update(message.substr(split));
            EXPECT_EQ(hasher.finish(), expected) << "length " << length << " split " << split;
        }
    }
}

TEST(SipHasher13, ThreeWayAndBytewiseFeedingEqualOneShot) {
    const std::string bytes = message_bytes();
    for (std::size_t length = 0; length <= 40; ++length) {
        const std::string_view message(bytes.data(), length);
        const std::uint64_t expected = one_shot(message);

        SipHasher13 bytewise;
        for (char c : message) bytewise.update_byte(static_cast<unsigned char>(c));
        EXPECT_EQ(bytewise.finish(), expected) << "length " << length;

        for (std::size_t a = 0; a <= length; ++a) {
            for (std::size_t b = a; b <= length; ++b) {
                SipHasher13 hasher;
                hasher.update(message.substr(0, a));
                hasher.update_byte(0);  // an interleaved single byte shifts the tail
                hasher.update(message.substr(a, b - a));
                hasher.update(message.substr(b));
                std::string joined(message.substr(0, a));
                joined.push_back('\0');
                joined.append(message.substr(a));
                ASSERT_EQ(hasher.finish(), one_shot(joined))
                    << "length " << length << " cuts " << a << "," << b;
            }
        }
    }
}

TEST(SipHasher13, FinishDoesNotDisturbState) {
    SipHasher13 hasher;
    hasher.update("0123456789a");
    const std::uint64_t first = hasher.finish();
    EXPECT_EQ(hasher.finish(), first);
    hasher.update("bc");
    EXPECT_EQ(hasher.finish(), one_shot("0123456789abc"));
}

TEST(SipHasher13, LengthTakesPartInDigest) {
    // Trailing zero bytes only differ through the folded-in length.
    EXPECT_NE(one_shot(std::string_view("\0", 1)), one_shot(std::string_view()));
    EXPECT_NE(one_shot(std::string(8, '\0')), one_shot(std::string(16, '\0')));
}

}  // namespace
}  // namespace frasolet
