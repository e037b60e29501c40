#include "core/template_text.hpp"

#include "core/siphash.hpp"

namespace frasolet {
namespace {

const Fragment& record_of(const Fragment& fragment) noexcept { return fragment; }
const SharedRecord& record_of(const RecordRef& reference) noexcept { return reference.get(); }

template <class Item, class Out>
void walk_all(std::span<const Item> items, Out& out) {
    for (const Item& item : items) walk_text_form(record_of(item), out);
}

template <class Item>
std::size_t joined_size(std::span<const Item> items) noexcept {
    TextFormSize size;
    walk_all(items, size);
    return size.size;
}

template <class Item>
char* write_joined(char* out, std::span<const Item> items) noexcept {
    TextFormWriter writer{out};
    walk_all(items, writer);
    return writer.out;
}

template <class Item>
std::uint64_t joined_digest(std::span<const Item> items) noexcept {
    return text_form_digest([&](auto& hashing) { walk_all(items, hashing); });
}

}  // namespace

std::size_t template_text_size(std::span<const Fragment> fragments) noexcept {
    return joined_size(fragments);
}
std::size_t template_text_size(std::span<const RecordRef> records) noexcept {
    return joined_size(records);
}

char* write_template_text(char* out, std::span<const Fragment> fragments) noexcept {
    return write_joined(out, fragments);
}
char* write_template_text(char* out, std::span<const RecordRef> records) noexcept {
    return write_joined(out, records);
}

Text template_text(std::span<const Fragment> fragments) {
    Text out(template_text_size(fragments), '\0');
    write_template_text(out.data(), fragments);
    return out;
}

std::uint64_t template_digest(std::span<const Fragment> fragments) noexcept {
    return joined_digest(fragments);
}
std::uint64_t template_digest(std::span<const RecordRef> records) noexcept {
    return joined_digest(records);
}

}  // namespace frasolet
