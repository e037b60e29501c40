// The text form of a whole template, and its digest: the fragments' text
// forms one after another. Each function takes the records themselves or
// references to shared ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/fragment.hpp"
#include "core/shared_record.hpp"

namespace frasolet {

std::size_t template_text_size(std::span<const Fragment> fragments) noexcept;
std::size_t template_text_size(std::span<const RecordRef> records) noexcept;

// Writes the text form at `out`, which has room for template_text_size()
// bytes, and returns the position after it.
char* write_template_text(char* out, std::span<const Fragment> fragments) noexcept;
char* write_template_text(char* out, std::span<const RecordRef> records) noexcept;

Text template_text(std::span<const Fragment> fragments);

// SipHash-1-3 (zero key) over the joined text form and one 0xFF: the same
// digest as a single fragment whose text form is the joined one.
std::uint64_t template_digest(std::span<const Fragment> fragments) noexcept;
std::uint64_t template_digest(std::span<const RecordRef> records) noexcept;

}  // namespace frasolet
