#include "core/escape.hpp"

#include <cstring>

#include "core/scan.hpp"

namespace frasolet {

// Both walks jump from one escapable character to the next with the text
// scan of the parser, so long texts cost about what a parse of them does.

std::size_t escaped_size(std::string_view text) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    std::size_t size = text.size();
    while ((p = scan::find_text_stop(p, end)) != end) {
        ++size;
        ++p;
    }
    return size;
}

char* write_escaped(char* out, std::string_view text) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
        const char* stop = scan::find_text_stop(p, end);
        if (stop != p) {  // `p` may be null for an empty text
            std::memcpy(out, p, static_cast<std::size_t>(stop - p));
            out += stop - p;
        }
        if (stop == end) return out;
        *out++ = '\\';
        *out++ = *stop;
        p = stop + 1;
    }
}

}  // namespace frasolet
