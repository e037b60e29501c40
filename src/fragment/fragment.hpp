// The fragment record: one piece of a parsed template.
//
// A text fragment has `options` absent; a placeholder fragment has them
// present, possibly empty. The three states of `options` (absent, present
// and empty, present with entries) are all distinct in every derived form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fragment/allocator.hpp"

namespace frasolet {

struct Fragment {
    Text string;
    std::optional<TextList> options;

    bool is_text() const noexcept { return !options.has_value(); }
};

using FragmentList = List<Fragment>;

// Number of bytes of the text form, without building it.
std::size_t text_form_size(const Fragment& fragment) noexcept;
// Appends the text form: the bare string for a text fragment, else
// "[string]" or "[string|a,b,...]". Nothing is escaped.
void append_text_form(Text& out, const Fragment& fragment);
// Writes the text form at `out`, which has room for text_form_size() bytes,
// and returns the position after it.
char* write_text_form(char* out, const Fragment& fragment) noexcept;
Text text_form(const Fragment& fragment);

// The representation: "\"string\"" for a text fragment, "[string]" for a
// placeholder whatever its options.
Text representation(const Fragment& fragment);

// Feeds the text form into a hasher piece by piece.
template <class Hasher>
void hash_text_form(Hasher& hasher, const Fragment& fragment) {
    if (!fragment.options) {
        hasher.update(fragment.string);
        return;
    }
    hasher.update_byte('[');
    hasher.update(fragment.string);
    unsigned char separator = '|';
    for (const Text& entry : *fragment.options) {
        hasher.update_byte(separator);
        hasher.update(entry);
        separator = ',';
    }
    hasher.update_byte(']');
}

// The unsigned digest of the text form (SipHash-1-3, zero key, 0xFF suffix).
std::uint64_t fragment_digest(const Fragment& fragment) noexcept;

}  // namespace frasolet
