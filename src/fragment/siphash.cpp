#include "fragment/siphash.hpp"

#include <cstring>

namespace frasolet {
namespace {

constexpr std::uint64_t rotate_left(std::uint64_t value, int bits) noexcept {
    return (value << bits) | (value >> (64 - bits));
}

inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2,
                      std::uint64_t& v3) noexcept {
    v0 += v1; v1 = rotate_left(v1, 13); v1 ^= v0; v0 = rotate_left(v0, 32);
    v2 += v3; v3 = rotate_left(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotate_left(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotate_left(v1, 17); v1 ^= v2; v2 = rotate_left(v2, 32);
}

inline std::uint64_t load_little_endian(const unsigned char* bytes) noexcept {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
    return word;
}

}  // namespace

void SipHasher13::compress(std::uint64_t word) noexcept {
    v3_ ^= word;
    sip_round(v0_, v1_, v2_, v3_);
    v0_ ^= word;
}

void SipHasher13::update_byte(unsigned char byte) noexcept {
    tail_ |= static_cast<std::uint64_t>(byte) << (8 * tail_length_);
    ++total_length_;
    if (++tail_length_ == 8) {
        compress(tail_);
        tail_ = 0;
        tail_length_ = 0;
    }
}

void SipHasher13::update(std::string_view bytes) noexcept {
    auto* next = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    // Top up a partly filled word first.
    while (tail_length_ != 0 && left != 0) {
        update_byte(*next++);
        --left;
    }
    total_length_ += left - left % 8;
    for (; left >= 8; left -= 8, next += 8) compress(load_little_endian(next));
    while (left != 0) {
        update_byte(*next++);
        --left;
    }
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

std::int64_t signed_hash(std::uint64_t digest) noexcept {
    std::int64_t value;
    std::memcpy(&value, &digest, sizeof value);
    return value == -1 ? -2 : value;
}

}  // namespace frasolet
