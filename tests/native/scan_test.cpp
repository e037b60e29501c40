// The block scanners against the byte-at-a-time scan, at every position of
// the stop byte, for lengths around the block sizes (16 bytes, the 64-byte
// wide blocks and the 256-byte threshold of the wide scan) and for starts
// at odd offsets. The input is allocated at its exact size, so a scanner
// that reads past the end fails under AddressSanitizer.

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/scan.hpp"

namespace {

using frasolet::scan::ByteSet;

using Scanner = const char* (*)(const char*, const char*);

// Filler bytes that are in neither set or only in the other one, so that a
// scanner comparing against the wrong set stops early.
constexpr std::string_view kTextFiller = "ab |#,\xc3\xa9\x7f\x01Z";
constexpr std::string_view kNameFiller = "ab \\\xc3\xa9\x7f\x01Z";

constexpr std::size_t kLengths[] = {0,  1,   2,   15,  16,  17,  31,  32,  33,  63,  64,  65,
                                    95, 127, 128, 129, 255, 256, 257, 300, 319, 320, 321, 1000};
constexpr std::size_t kOffsets[] = {0, 1, 7, 15, 31};

std::string filler(std::string_view pattern, std::size_t length) {
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) bytes += pattern[(i * 7 + i / 3) % pattern.size()];
    return bytes;
}

// Runs `scanner` over `bytes` placed at `offset` in an allocation that ends
// exactly where the bytes end.
const char* scan_exact(Scanner scanner, const std::string& bytes, std::size_t offset,
                       std::size_t* found) {
    std::unique_ptr<char[]> storage(new char[offset + bytes.size()]);
    char* begin = storage.get() + offset;
    bytes.copy(begin, bytes.size());
    const char* end = begin + bytes.size();
    const char* stop = scanner(begin, end);
    *found = static_cast<std::size_t>(stop - begin);
    return stop <= end ? stop : nullptr;
}

std::size_t reference(const ByteSet& set, const std::string& bytes) {
    const char* begin = bytes.data();
    return static_cast<std::size_t>(
        frasolet::scan::find_first_in(set, begin, begin + bytes.size()) - begin);
}

void check_scanner(Scanner scanner, const ByteSet& set, std::string_view stops,
                   std::string_view pattern) {
    for (std::size_t length : kLengths) {
        for (std::size_t offset : kOffsets) {
            std::size_t found = 0;
            const std::string plain = filler(pattern, length);
            ASSERT_NE(scan_exact(scanner, plain, offset, &found), nullptr);
            ASSERT_EQ(found, length) << "no stop byte, length " << length << ", offset " << offset;
            for (char stop : stops) {
                for (std::size_t at = 0; at < length; ++at) {
                    std::string bytes = plain;
                    bytes[at] = stop;
                    // A second stop further on must not win over the first.
                    if (at + 40 < length) bytes[at + 40] = stops[0];
                    ASSERT_NE(scan_exact(scanner, bytes, offset, &found), nullptr);
                    ASSERT_EQ(found, reference(set, bytes))
                        << "stop '" << stop << "' at " << at << ", length " << length << ", offset "
                        << offset;
                    ASSERT_EQ(found, at);
                }
            }
        }
    }
}

TEST(Scan, TextStopAgreesWithByteScan) {
    check_scanner(frasolet::scan::find_text_stop, frasolet::scan::text_stop, "\\[]", kTextFiller);
}

TEST(Scan, NameStopAgreesWithByteScan) {
    check_scanner(frasolet::scan::find_name_stop, frasolet::scan::name_stop, "[]|#,", kNameFiller);
}

// A stop byte just past the end of the range must not be reported.
TEST(Scan, StopPastTheEndIsIgnored) {
    for (std::size_t length : kLengths) {
        std::string text = filler(kTextFiller, length) + "[";
        const char* begin = text.data();
        EXPECT_EQ(frasolet::scan::find_text_stop(begin, begin + length), begin + length);
        std::string name = filler(kNameFiller, length) + "|";
        begin = name.data();
        EXPECT_EQ(frasolet::scan::find_name_stop(begin, begin + length), begin + length);
    }
}

}  // namespace
