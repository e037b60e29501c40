#include "fragment/fragment.hpp"

#include <cstring>

#include "fragment/siphash.hpp"

namespace frasolet {

std::size_t text_form_size(const Fragment& fragment) noexcept {
    if (!fragment.options) return fragment.string.size();
    std::size_t size = fragment.string.size() + 2;  // brackets
    for (const Text& entry : *fragment.options) size += entry.size() + 1;  // "|" or ","
    return size;
}

void append_text_form(Text& out, const Fragment& fragment) {
    if (!fragment.options) {
        out.append(fragment.string);
        return;
    }
    out.push_back('[');
    out.append(fragment.string);
    char separator = '|';
    for (const Text& entry : *fragment.options) {
        out.push_back(separator);
        out.append(entry);
        separator = ',';
    }
    out.push_back(']');
}

char* write_text_form(char* out, const Fragment& fragment) noexcept {
    const auto put = [&out](const Text& text) {
        std::memcpy(out, text.data(), text.size());
        out += text.size();
    };
    if (!fragment.options) {
        put(fragment.string);
        return out;
    }
    *out++ = '[';
    put(fragment.string);
    char separator = '|';
    for (const Text& entry : *fragment.options) {
        *out++ = separator;
        put(entry);
        separator = ',';
    }
    *out++ = ']';
    return out;
}

Text text_form(const Fragment& fragment) {
    Text out;
    out.reserve(text_form_size(fragment));
    append_text_form(out, fragment);
    return out;
}

Text representation(const Fragment& fragment) {
    const char open = fragment.options ? '[' : '"';
    const char close = fragment.options ? ']' : '"';
    Text out;
    out.reserve(fragment.string.size() + 2);
    out.push_back(open);
    out.append(fragment.string);
    out.push_back(close);
    return out;
}

std::uint64_t fragment_digest(const Fragment& fragment) noexcept {
    SipHasher13 hasher;
    hash_text_form(hasher, fragment);
    hasher.update_byte(0xff);
    return hasher.finish();
}

}  // namespace frasolet
