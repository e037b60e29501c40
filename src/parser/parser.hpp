// The reader of the template grammar.
//
//   template    := piece*            (the parse stops at the first position
//                                     where no piece matches; the rest is dropped)
//   piece       := escape | placeholder | text-run
//   escape      := '\' ( '\' | '[' | ']' )
//   placeholder := '[' name ( '|' option-list )? ']'
//   option-list := empty | option ( separators option )*
//   name, option:= one or more bytes outside  [ ] | # ,
//   separators  := one or more of  # ,
//   text-run    := one or more bytes outside  \ [ ]
//
// Adjacent text (runs and escapes) merges into one text fragment;
// placeholders never merge.
#pragma once

#include <string_view>
#include <variant>

#include "fragment/fragment.hpp"
#include "parser/parse_failure.hpp"

namespace frasolet {

using ParseResult = std::variant<FragmentList, ParseFailure>;

// Parses `text` (UTF-8, borrowed for the call) into fragments in template
// order. Lenient: every text yields a list; the failure report is produced
// only by the loop's no-progress guard, which no piece of the grammar trips.
ParseResult parse_template(std::string_view text);

}  // namespace frasolet
