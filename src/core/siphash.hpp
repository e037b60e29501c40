// SipHash-1-3 with a fixed all-zero key, fed incrementally so that a text
// made of many pieces can be hashed without joining it first.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/load.hpp"

namespace frasolet {

namespace siphash_detail {

// Little-endian loads of whole words: one machine load each.
inline std::uint64_t load_little_endian(const unsigned char* bytes) noexcept {
    return platform::load_little_endian<std::uint64_t>(bytes);
}

inline std::uint64_t load_little_endian_32(const unsigned char* bytes) noexcept {
    return platform::load_little_endian<std::uint32_t>(bytes);
}

// The first `count` (0 to 7) bytes as the low bytes of a word, with no read
// outside them: two 4-byte loads that overlap, or single bytes below 4 (the
// overlapping loads put equal bytes in equal places, so or-ing them is exact).
inline std::uint64_t load_partial(const unsigned char* bytes, std::size_t count) noexcept {
    if (count >= 4) {
        const std::uint64_t low = load_little_endian_32(bytes);
        const std::uint64_t high = load_little_endian_32(bytes + count - 4);
        return low | (high << (8 * (count - 4)));
    }
    if (count == 0) return 0;
    const std::size_t middle = count / 2;
    return static_cast<std::uint64_t>(bytes[0]) |
           (static_cast<std::uint64_t>(bytes[middle]) << (8 * middle)) |
           (static_cast<std::uint64_t>(bytes[count - 1]) << (8 * (count - 1)));
}

}  // namespace siphash_detail

class SipHasher13 {
public:
    SipHasher13() noexcept = default;

    void update(std::string_view bytes) noexcept {
        // Text forms come in many short pieces: those that only add to the
        // pending word are taken here, without a call.
        if (bytes.size() < 8 - tail_length_) {
            const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
            tail_ |= siphash_detail::load_partial(data, bytes.size()) << (8 * tail_length_);
            tail_length_ += static_cast<unsigned>(bytes.size());
            total_length_ += bytes.size();
            return;
        }
        update_words(bytes);
    }

    void update_byte(unsigned char byte) noexcept {
        tail_ |= static_cast<std::uint64_t>(byte) << (8 * tail_length_);
        ++total_length_;
        if (++tail_length_ == 8) compress_tail();
    }

    // The 64-bit digest of everything fed so far.
    std::uint64_t finish() const noexcept;

private:
    // update() for pieces that complete at least one word.
    void update_words(std::string_view bytes) noexcept;
    void compress_tail() noexcept;
    void compress(std::uint64_t word) noexcept;

    // Initial state for k0 = k1 = 0: the published constants themselves.
    std::uint64_t v0_ = 0x736f6d6570736575ULL;
    std::uint64_t v1_ = 0x646f72616e646f6dULL;
    std::uint64_t v2_ = 0x6c7967656e657261ULL;
    std::uint64_t v3_ = 0x7465646279746573ULL;
    std::uint64_t tail_ = 0;    // pending bytes, little-endian
    unsigned tail_length_ = 0;  // 0..7
    std::uint64_t total_length_ = 0;
};

// The hash of a text form: SipHash-1-3 over its bytes followed by one 0xFF.
std::uint64_t text_hash(std::string_view text) noexcept;

}  // namespace frasolet
