// Making a str from UTF-8 text without a validating decode.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/owned.hpp"

namespace frasolet::binding {

// A new str from valid UTF-8 text (what every str's UTF-8 form and every
// part of one cut at ASCII bytes is). Ends in an internal fault when the
// interpreter cannot make it.
Owned make_str(std::string_view text);
// The same for a text that is made into a str again and again: `shape_memo`,
// kept beside the text and 0 until the first call, holds what that call
// learnt of it (its code points and its widest character), so that later
// calls only copy or widen.
Owned make_str(std::string_view text, std::uint64_t& shape_memo);

}  // namespace frasolet::binding
