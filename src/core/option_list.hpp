// The option list of a placeholder, as the parse reads it: shared by the
// parse loop and by explain_stop, which reads a failed piece again.
#pragma once

#include <cstddef>

#include "core/scan.hpp"

namespace frasolet {

// Reads an option list starting right after the vertical line and returns
// where it ends, handing each option to `options.emplace_back(data, size)`.
// It never fails: an empty option, or a separator run that no option
// follows, ends the list before that point. Inlined into its callers, so
// that the parse loop keeps it in place.
template <class Options>
[[gnu::always_inline]] inline const char* read_option_list(const char* p, const char* end,
                                                           Options& options) {
    const char* option_end = scan::find_name_stop(p, end);
    if (option_end == p) return p;
    options.emplace_back(p, static_cast<std::size_t>(option_end - p));
    p = option_end;
    for (;;) {
        const char* separators_end = scan::find_first_not_in(scan::separator, p, end);
        if (separators_end == p) return p;
        option_end = scan::find_name_stop(separators_end, end);
        if (option_end == separators_end) return p;  // the separator run stays unconsumed
        options.emplace_back(separators_end, static_cast<std::size_t>(option_end - separators_end));
        p = option_end;
    }
}

}  // namespace frasolet
