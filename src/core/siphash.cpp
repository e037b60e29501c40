#include "core/siphash.hpp"

#include <algorithm>
#include <cstring>

namespace frasolet {
namespace {

constexpr std::uint64_t rotate_left(std::uint64_t value, int bits) noexcept {
    return (value << bits) | (value >> (64 - bits));
}

// clang-format off
inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2,
                      std::uint64_t& v3) noexcept {
    v0 += v1; v1 = rotate_left(v1, 13); v1 ^= v0; v0 = rotate_left(v0, 32);
    v2 += v3; v3 = rotate_left(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotate_left(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotate_left(v1, 17); v1 ^= v2; v2 = rotate_left(v2, 32);
}
// clang-format on

}  // namespace

void SipHasher13::compress(std::uint64_t word) noexcept {
    v3_ ^= word;
    sip_round(v0_, v1_, v2_, v3_);
    v0_ ^= word;
}

void SipHasher13::compress_tail() noexcept {
    compress(tail_);
    tail_ = 0;
    tail_length_ = 0;
}

// A partly filled word is topped up, and the last bytes kept, a word at a
// time rather than byte by byte.
void SipHasher13::update_words(std::string_view bytes) noexcept {
    using siphash_detail::load_little_endian;
    using siphash_detail::load_partial;
    auto* next = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    total_length_ += left;
    if (tail_length_ != 0) {
        const std::size_t take = std::min<std::size_t>(8 - tail_length_, left);
        tail_ |= load_partial(next, take) << (8 * tail_length_);
        tail_length_ += static_cast<unsigned>(take);
        next += take;
        left -= take;
        if (tail_length_ != 8) return;
        compress_tail();
    }
    for (; left >= 8; left -= 8, next += 8) compress(load_little_endian(next));
    tail_ = load_partial(next, left);
    tail_length_ = static_cast<unsigned>(left);
}

std::uint64_t SipHasher13::finish() const noexcept {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    const std::uint64_t last = tail_ | (total_length_ << 56);
    v3 ^= last;
    sip_round(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xff;
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

std::uint64_t text_hash(std::string_view text) noexcept {
    SipHasher13 hasher;
    hasher.update(text);
    hasher.update_byte(0xff);
    return hasher.finish();
}

}  // namespace frasolet
