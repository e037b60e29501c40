#include "core/fragment.hpp"

#include "core/shared_record.hpp"
#include "core/siphash.hpp"

namespace frasolet {
namespace {

// The derived forms, once for both kinds of record.

template <class Record>
std::size_t size_of_text_form(const Record& record) noexcept {
    TextFormSize size;
    walk_text_form(record, size);
    return size.size;
}

template <class Record>
char* write_form(char* out, const Record& record) noexcept {
    TextFormWriter writer{out};
    walk_text_form(record, writer);
    return writer.out;
}

template <class Record>
Text make_text_form(const Record& record) {
    Text out(size_of_text_form(record), '\0');
    write_form(out.data(), record);
    return out;
}

template <class Record>
Text make_representation(const Record& record) {
    const bool text = record_is_text(record);
    const std::string_view string = record_string(record);
    Text out;
    out.reserve(string.size() + 2);
    out.push_back(text ? '"' : '[');
    out.append(string);
    out.push_back(text ? '"' : ']');
    return out;
}

template <class Record>
std::uint64_t digest_of(const Record& record) noexcept {
    return text_form_digest([&](auto& hashing) { walk_text_form(record, hashing); });
}

}  // namespace

std::size_t text_form_size(const Fragment& fragment) noexcept {
    return size_of_text_form(fragment);
}
std::size_t text_form_size(const SharedRecord& record) noexcept {
    return size_of_text_form(record);
}

char* write_text_form(char* out, const Fragment& fragment) noexcept {
    return write_form(out, fragment);
}
char* write_text_form(char* out, const SharedRecord& record) noexcept {
    return write_form(out, record);
}

Text text_form(const Fragment& fragment) { return make_text_form(fragment); }
Text text_form(const SharedRecord& record) { return make_text_form(record); }

Text representation(const Fragment& fragment) { return make_representation(fragment); }
Text representation(const SharedRecord& record) { return make_representation(record); }

std::uint64_t fragment_digest(const Fragment& fragment) noexcept { return digest_of(fragment); }
std::uint64_t fragment_digest(const SharedRecord& record) noexcept { return digest_of(record); }

}  // namespace frasolet
