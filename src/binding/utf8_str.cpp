#include "binding/utf8_str.hpp"

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "binding/internal_fault.hpp"
#include "platform/load.hpp"

namespace frasolet::binding {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr std::uint64_t kLowBits = 0x0101010101010101ULL;

using Word = std::uint64_t;
using platform::load_word;

// load_tail keeps a word's last bytes in memory by shifting them down, which
// holds only where the first byte in memory is the word's low byte.
static_assert(std::endian::native == std::endian::little, "load_tail assumes little-endian words");

// The last `size % 8` bytes of a text of at least 8 bytes, in the low
// bytes of a word whose other bytes are zero (zero bytes are ASCII and
// count for nothing below): one load that overlaps the last whole word.
std::uint64_t load_tail(const unsigned char* bytes, std::size_t size) noexcept {
    const std::size_t rest = size % 8;
    if (rest == 0) return 0;
    return load_word<Word>(bytes + size - 8) >> (8 * (8 - rest));
}

bool ascii_bytes(const unsigned char* bytes, std::size_t size) noexcept {
    return is_ascii(std::string_view(reinterpret_cast<const char*>(bytes), size));
}

// What a str needs to know of non-ASCII UTF-8 before it is made: how many
// code points there are and how wide the widest is.
struct Utf8Shape {
    std::size_t code_points;
    Py_UCS4 widest;  // 0xFF, 0xFFFF or 0x10FFFF: the bound of the str's kind
};

// Eight bytes at a time, each byte's verdict in its top bit. A continuation
// byte (10xxxxxx) counts no code point. For the width, a byte with its top
// bit set is compared by adding to its low seven bits, which cannot carry
// into the next byte: 0xC4 or above (0x44 + 0x3C reaches 0x80) starts a
// code point beyond U+00FF, 0xF0 or above (0x70 + 0x10) one beyond U+FFFF.
struct Utf8Tally {
    static constexpr std::uint64_t kLowSeven = ~kHighBits;
    std::size_t continuation = 0;
    std::uint64_t beyond_latin1 = 0;  // only the top bits count
    std::uint64_t beyond_bmp = 0;

    void add(std::uint64_t w) noexcept {
        const std::uint64_t continuations = w & ~(w << 1) & kHighBits;
        continuation += ((continuations >> 7) * kLowBits) >> 56;  // sum of eight 0/1 bytes
        const std::uint64_t low = w & kLowSeven;
        beyond_latin1 |= (low + 0x3c3c3c3c3c3c3c3cULL) & w;
        beyond_bmp |= (low + 0x1010101010101010ULL) & w;
    }
};

Utf8Shape measure_utf8(const unsigned char* bytes, std::size_t size) noexcept {
    Utf8Tally tally;
    if (size >= 8) {
        for (std::size_t i = 0; i + 8 <= size; i += 8) tally.add(load_word<Word>(bytes + i));
        tally.add(load_tail(bytes, size));
    } else {
        for (std::size_t i = 0; i < size; ++i) tally.add(bytes[i]);
    }
    const Py_UCS4 widest = (tally.beyond_bmp & kHighBits) != 0      ? 0x10ffff
                           : (tally.beyond_latin1 & kHighBits) != 0 ? 0xffff
                                                                    : 0xff;
    return {size - tally.continuation, widest};
}

// Writes the code points of valid UTF-8 as units of the str's kind, which
// has room for `count` of them: one per byte that is not a continuation
// byte. Every unit written consumes one such byte, so bytes that are not
// UTF-8 (the module never holds any) cannot write past that room either: a
// stray continuation byte is skipped, a truncated sequence ends the text,
// and the room left is zeroed.
template <class Unit>
void widen(const unsigned char* bytes, std::size_t size, Unit* out, std::size_t count) noexcept {
    Unit* const out_end = out + count;
    const unsigned char* p = bytes;
    const unsigned char* const end = bytes + size;
    while (p != end) {
        const unsigned lead = *p;
        if (lead < 0x80) {
            // ASCII often comes in runs (spaces, punctuation, Latin words).
            if (end - p >= 8 && (load_word<Word>(p) & kHighBits) == 0) {
                for (int k = 0; k < 8; ++k) out[k] = static_cast<Unit>(p[k]);
                out += 8;
                p += 8;
            } else {
                *out++ = static_cast<Unit>(lead);
                ++p;
            }
        } else if ((lead & 0xf0) == 0xe0) {
            // Most of the BMP (CJK, Indic, symbols), which comes in runs.
            if (end - p < 3) break;
            do {
                *out++ =
                    static_cast<Unit>((p[0] & 0x0fu) << 12 | (p[1] & 0x3fu) << 6 | (p[2] & 0x3fu));
                p += 3;
            } while (end - p >= 3 && (*p & 0xf0) == 0xe0);
        } else if ((lead & 0xe0) == 0xc0) {
            if (end - p < 2) break;
            *out++ = static_cast<Unit>((lead & 0x1fu) << 6 | (p[1] & 0x3fu));
            p += 2;
        } else if (lead >= 0xf0) {
            if (end - p < 4) break;
            *out++ = static_cast<Unit>((lead & 0x07u) << 18 | (p[1] & 0x3fu) << 12 |
                                       (p[2] & 0x3fu) << 6 | (p[3] & 0x3fu));
            p += 4;
        } else {
            ++p;  // a stray continuation byte
        }
    }
    while (out != out_end) *out++ = 0;
}

// A str of `shape`, filled from the non-ASCII UTF-8 text it was measured
// from; kept out of line, so that the ASCII path of make_str stays a small
// function.
FRASOLET_NOINLINE Owned make_wide_str(const unsigned char* bytes, std::size_t size,
                                      Utf8Shape shape) {
    Owned object =
        Owned::steal(PyUnicode_New(static_cast<Py_ssize_t>(shape.code_points), shape.widest));
    if (!object) throw_api_call_failed();
    switch (PyUnicode_KIND(object.get())) {
        case PyUnicode_1BYTE_KIND:
            widen(bytes, size, PyUnicode_1BYTE_DATA(object.get()), shape.code_points);
            break;
        case PyUnicode_2BYTE_KIND:
            widen(bytes, size, PyUnicode_2BYTE_DATA(object.get()), shape.code_points);
            break;
        default:
            widen(bytes, size, PyUnicode_4BYTE_DATA(object.get()), shape.code_points);
            break;
    }
    return object;
}

// A shape memo: the code points above three bits naming the widest
// character (1: ASCII, 2: Latin-1, 3: the BMP, 4: beyond); 0 for unknown.
constexpr std::uint64_t kCodeBits = utf8_str_detail::kMemoCodeBits;
constexpr std::uint64_t kAsciiCode = utf8_str_detail::kAsciiMemoCode;
static_assert(kCodeBits == 7 && kAsciiCode == 1, "the memo layout above");
constexpr Py_UCS4 kWidestOfCode[] = {0, 0x7f, 0xff, 0xffff, 0x10ffff};

std::uint64_t to_memo(Utf8Shape shape) noexcept {
    const std::uint64_t code = shape.widest == 0x7f     ? kAsciiCode
                               : shape.widest == 0xff   ? 2
                               : shape.widest == 0xffff ? 3
                                                        : 4;
    return static_cast<std::uint64_t>(shape.code_points) << 3 | code;
}

Utf8Shape from_memo(std::uint64_t memo) noexcept {
    return {static_cast<std::size_t>(memo >> 3), kWidestOfCode[memo & kCodeBits]};
}

}  // namespace

Owned make_str(std::string_view text) {
    // The text is valid UTF-8 (it came from a str, or from parsing one), so
    // the str is sized from what its bytes say and filled by a copy or a
    // widening, without a validating decode.
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    if (!ascii_bytes(bytes, size)) return make_wide_str(bytes, size, measure_utf8(bytes, size));
    return make_ascii_str(text);
}

// The memo is not (yet) that of ASCII text.
Owned utf8_str_detail::make_str_from_memo(std::string_view text, std::uint64_t& shape_memo) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    if (shape_memo == 0) {
        if (ascii_bytes(bytes, size)) {
            // An empty text is measured for nothing, and its memo may be one
            // that every interpreter of the process reads: it is not written.
            if (size != 0) shape_memo = to_memo({size, 0x7f});
            return make_ascii_str(text);
        }
        shape_memo = to_memo(measure_utf8(bytes, size));
    }
    const Utf8Shape shape = from_memo(shape_memo);
    assert(shape.code_points <= size && shape.widest > 0x7f);
    return make_wide_str(bytes, size, shape);
}

}  // namespace frasolet::binding
