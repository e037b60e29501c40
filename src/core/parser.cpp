#include "core/parser.hpp"

#include "core/scan.hpp"

namespace frasolet {
namespace {

using Spans = List<std::string_view>;

bool is_escapable(char c) { return c == '\\' || c == '[' || c == ']'; }

// Reads an option list starting right after the vertical line and returns
// where it ends. It never fails: an empty option, or a separator run that no
// option follows, ends the list before that point.
const char* read_option_list(const char* p, const char* end, Spans& options) {
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

// Tries a placeholder at `p`, which holds '['. On a match returns the
// position after the closing bracket with the mask name and option spans
// filled in; otherwise returns nullptr and nothing counts.
const char* match_placeholder(const char* p, const char* end, std::string_view& name,
                              Spans& options) {
    ++p;
    const char* name_end = scan::find_name_stop(p, end);
    if (name_end == p) return nullptr;
    name = std::string_view(p, static_cast<std::size_t>(name_end - p));
    p = name_end;
    options.clear();
    if (p != end && *p == '|') p = read_option_list(p + 1, end, options);
    if (p == end || *p != ']') return nullptr;
    return p + 1;
}

// The records of parse_template, each made in its place in the list.
struct RecordList {
    FragmentList fragments;
    Fragment& add() { return fragments.emplace_back(); }
};

}  // namespace

std::optional<ParseFailure> parse_pieces(std::string_view text, PieceSink& sink) {
    Spans option_spans;  // reused by every placeholder of this parse
    const char* p = text.data();
    const char* const end = p + text.size();

    while (p != end) {
        const char* next = nullptr;
        if (*p == '\\') {
            if (end - p < 2 || !is_escapable(p[1])) break;
            sink.text(std::string_view(p + 1, 1));
            next = p + 2;
        } else if (*p == '[') {
            std::string_view name;
            next = match_placeholder(p, end, name, option_spans);
            if (next == nullptr) break;
            sink.placeholder(name, option_spans);
        } else if (*p == ']') {
            break;
        } else {
            next = scan::find_text_stop(p, end);
            sink.text(std::string_view(p, static_cast<std::size_t>(next - p)));
        }
        if (next == p) return ParseFailure::error();  // no-progress guard
        p = next;
    }
    return std::nullopt;
}

ParseResult parse_template(std::string_view text) {
    RecordList records;
    RecordSink sink(records);
    if (std::optional<ParseFailure> failure = parse_pieces(text, sink)) return *failure;
    return std::move(records.fragments);
}

}  // namespace frasolet
