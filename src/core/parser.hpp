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

#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "core/fragment.hpp"
#include "core/parse_failure.hpp"

namespace frasolet {

using ParseResult = std::variant<FragmentList, ParseFailure>;

// Parses `text` (UTF-8, borrowed for the call) into fragments in template
// order. Lenient: every text yields a list; the failure report is produced
// only by the loop's no-progress guard, which no piece of the grammar trips.
ParseResult parse_template(std::string_view text);

// Receives the pieces of a parse in template order: every text region (the
// runs and escapes between two placeholders, with the escapes undone) as one
// piece, and every placeholder once its closing bracket has matched. The
// views point into the input or into the parse's own buffer and are valid
// for the call only. Two text pieces in a row are to be merged; RecordSink
// below does that.
class PieceSink {
public:
    virtual void text(std::string_view piece) = 0;
    virtual void placeholder(std::string_view name, std::span<const std::string_view> options) = 0;

protected:
    ~PieceSink() = default;
};

// Turns the pieces of a parse into records: the one place that decides
// where adjacent text merges into one record. `Records` decides how records
// are built and where they live, through three calls:
//   add_text(piece)              a new text record,
//   extend_text(piece)           more text for the last record, a text one,
//   add_placeholder(name, spans) a new placeholder record with those options.
// The core's record list, the module's fragment objects and a template's
// shared records all build this way.
template <class Records>
class RecordSink final : public PieceSink {
public:
    explicit RecordSink(Records& records) noexcept : records_(records) {}

    void text(std::string_view piece) override {
        if (text_open_) {
            records_.extend_text(piece);
            return;
        }
        records_.add_text(piece);
        text_open_ = true;
    }

    void placeholder(std::string_view name, std::span<const std::string_view> spans) override {
        text_open_ = false;
        records_.add_placeholder(name, spans);
    }

private:
    Records& records_;
    bool text_open_ = false;  // the last record is text
};

// How far the parse loop read, and the failure report of its no-progress
// guard if that fired.
struct PiecesRead {
    // Bytes read: the text's size when the whole text was read, else where
    // the parse stopped (explain_stop of core/parse_stop.hpp says why).
    std::size_t length;
    std::optional<ParseFailure> failure;
};

// The parse loop of parse_template, handing the pieces to `sink` instead of
// building records, for callers that build their own. The pieces before a
// failure have been handed over when it is reported.
PiecesRead parse_pieces(std::string_view text, PieceSink& sink);

}  // namespace frasolet
