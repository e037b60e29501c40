// SipHash-1-3 with a fixed all-zero key, fed incrementally so that a text
// made of many pieces can be hashed without joining it first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace frasolet {

class SipHasher13 {
public:
    SipHasher13() noexcept = default;

    void update(std::string_view bytes) noexcept;
    void update_byte(unsigned char byte) noexcept;
    // The 64-bit digest of everything fed so far.
    std::uint64_t finish() const noexcept;

private:
    void compress(std::uint64_t word) noexcept;

    // Initial state for k0 = k1 = 0: the published constants themselves.
    std::uint64_t v0_ = 0x736f6d6570736575ULL;
    std::uint64_t v1_ = 0x646f72616e646f6dULL;
    std::uint64_t v2_ = 0x6c7967656e657261ULL;
    std::uint64_t v3_ = 0x7465646279746573ULL;
    std::uint64_t tail_ = 0;       // pending bytes, little-endian
    unsigned tail_length_ = 0;     // 0..7
    std::uint64_t total_length_ = 0;
};

// The hash of a text form: SipHash-1-3 over its bytes followed by one 0xFF.
std::uint64_t text_hash(std::string_view text) noexcept;

// The digest read as a signed value, with -1 (the interpreter's error
// signal) replaced by -2.
std::int64_t signed_hash(std::uint64_t digest) noexcept;

}  // namespace frasolet
