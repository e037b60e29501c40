#include "core/fragment.hpp"

#include "core/siphash.hpp"

namespace frasolet {

std::size_t text_form_size(const Fragment& fragment) noexcept {
    TextFormSize size;
    walk_text_form(fragment, size);
    return size.size;
}

char* write_text_form(char* out, const Fragment& fragment) noexcept {
    TextFormWriter writer{out};
    walk_text_form(fragment, writer);
    return writer.out;
}

Text text_form(const Fragment& fragment) {
    Text out(text_form_size(fragment), '\0');
    write_text_form(out.data(), fragment);
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
    TextFormHashing<SipHasher13> hashing{hasher};
    walk_text_form(fragment, hashing);
    hasher.update_byte(0xff);
    return hasher.finish();
}

}  // namespace frasolet
