// The fragment record: one piece of a parsed template.
//
// A text fragment has `options` absent; a placeholder fragment has them
// present, possibly empty. The three states of `options` (absent, present
// and empty, present with entries) are all distinct in every derived form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/allocator.hpp"
#include "core/siphash.hpp"

namespace frasolet {

struct Fragment {
    Text string;
    std::optional<TextList> options;

    bool is_text() const noexcept { return !options.has_value(); }
};

using FragmentList = List<Fragment>;

class SharedRecord;  // core/shared_record.hpp: the form records are shared in

// What walk_text_form reads of a record; SharedRecord has the same three.
inline std::string_view record_string(const Fragment& fragment) noexcept { return fragment.string; }
inline bool record_is_text(const Fragment& fragment) noexcept { return fragment.is_text(); }
template <class Visit>
void for_each_option(const Fragment& fragment, Visit&& visit) {
    for (const Text& entry : *fragment.options) visit(std::string_view(entry));
}

// The one walk over the text form: the bare string for a text fragment, else
// "[string]" or "[string|a,b,...]", nothing escaped. `out` receives every
// piece in order through out.text(std::string_view) and out.byte(char); the
// size, the writers and the digest below are all this walk.
template <class Record, class Out>
void walk_text_form(const Record& record, Out& out) {
    if (record_is_text(record)) {
        out.text(record_string(record));
        return;
    }
    out.byte('[');
    out.text(record_string(record));
    char separator = '|';
    for_each_option(record, [&](std::string_view entry) {
        out.byte(separator);
        out.text(entry);
        separator = ',';
    });
    out.byte(']');
}

// Number of bytes of the text form, without building it.
std::size_t text_form_size(const Fragment& fragment) noexcept;
std::size_t text_form_size(const SharedRecord& record) noexcept;
// Writes the text form at `out`, which has room for text_form_size() bytes,
// and returns the position after it.
char* write_text_form(char* out, const Fragment& fragment) noexcept;
char* write_text_form(char* out, const SharedRecord& record) noexcept;
Text text_form(const Fragment& fragment);
Text text_form(const SharedRecord& record);

// The representation: "\"string\"" for a text fragment, "[string]" for a
// placeholder whatever its options.
Text representation(const Fragment& fragment);
Text representation(const SharedRecord& record);

// Walk outputs, for callers that combine several fragments' text forms.
struct TextFormSize {
    std::size_t size = 0;
    void text(std::string_view piece) noexcept { size += piece.size(); }
    void byte(char) noexcept { ++size; }
};

struct TextFormWriter {
    char* out;
    void text(std::string_view piece) noexcept {
        std::memcpy(out, piece.data(), piece.size());
        out += piece.size();
    }
    void byte(char c) noexcept { *out++ = c; }
};

// Feeds a SipHasher13 (or any hasher with update and update_byte).
template <class Hasher>
struct TextFormHashing {
    Hasher& hasher;
    void text(std::string_view piece) noexcept { hasher.update(piece); }
    void byte(char c) noexcept { hasher.update_byte(static_cast<unsigned char>(c)); }
};

// The digest of the text form that `walk` feeds to its hashing argument:
// SipHash-1-3 with a zero key over the text form, then 0xFF.
template <class Walk>
std::uint64_t text_form_digest(Walk&& walk) noexcept {
    SipHasher13 hasher;
    TextFormHashing<SipHasher13> hashing{hasher};
    walk(hashing);
    hasher.update_byte(0xff);
    return hasher.finish();
}

// The unsigned digest of the text form (SipHash-1-3, zero key, 0xFF suffix).
std::uint64_t fragment_digest(const Fragment& fragment) noexcept;
std::uint64_t fragment_digest(const SharedRecord& record) noexcept;

}  // namespace frasolet
