// Making a str from UTF-8 text without a validating decode.
#pragma once

#include <string_view>

#include "binding/owned.hpp"

namespace frasolet::binding {

// A new str from valid UTF-8 text (what every str's UTF-8 form and every
// part of one cut at ASCII bytes is). Ends in an internal fault when the
// interpreter cannot make it.
Owned make_str(std::string_view text);

}  // namespace frasolet::binding
