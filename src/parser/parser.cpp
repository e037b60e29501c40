#include "parser/parser.hpp"

#include "parser/scan.hpp"

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
        const char* separators_end = scan::skip_inside(scan::separator, p, end);
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

// Builds the record list of parse_template. Each record is made in its
// place in the list, not moved there.
class FragmentBuilder final : public PieceSink {
public:
    void text(std::string_view piece) override {
        if (!fragments_.empty() && fragments_.back().is_text()) {
            fragments_.back().string.append(piece);  // grows with amortised doubling
            return;
        }
        fragments_.emplace_back().string.append(piece);
    }

    void placeholder(std::string_view name, std::span<const std::string_view> spans) override {
        Fragment& fragment = fragments_.emplace_back();
        fragment.string.append(name);
        TextList& options = fragment.options.emplace();
        options.reserve(spans.size());
        for (std::string_view span : spans) options.emplace_back(span.data(), span.size());
    }

    FragmentList take() { return std::move(fragments_); }

private:
    FragmentList fragments_;
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
    FragmentBuilder builder;
    if (std::optional<ParseFailure> failure = parse_pieces(text, builder)) return *failure;
    return builder.take();
}

}  // namespace frasolet
