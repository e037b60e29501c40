#include "core/template_text.hpp"

#include "core/siphash.hpp"

namespace frasolet {

std::size_t template_text_size(std::span<const Fragment> fragments) noexcept {
    TextFormSize size;
    for (const Fragment& fragment : fragments) walk_text_form(fragment, size);
    return size.size;
}

char* write_template_text(char* out, std::span<const Fragment> fragments) noexcept {
    TextFormWriter writer{out};
    for (const Fragment& fragment : fragments) walk_text_form(fragment, writer);
    return writer.out;
}

Text template_text(std::span<const Fragment> fragments) {
    Text out(template_text_size(fragments), '\0');
    write_template_text(out.data(), fragments);
    return out;
}

std::uint64_t template_digest(std::span<const Fragment> fragments) noexcept {
    SipHasher13 hasher;
    TextFormHashing<SipHasher13> hashing{hasher};
    for (const Fragment& fragment : fragments) walk_text_form(fragment, hashing);
    hasher.update_byte(0xff);
    return hasher.finish();
}

}  // namespace frasolet
