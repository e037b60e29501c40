// Fuzz target for parse_template: checks the shape of every parse result
// and that the fragments account exactly for a prefix of the input; that
// the stop report of a strict parse agrees with that prefix; and that
// escaped input parses back to itself.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/escape.hpp"
#include "core/fragment.hpp"
#include "core/parse_stop.hpp"
#include "core/parser.hpp"
#include "core/siphash.hpp"
#include "core/template_text.hpp"

namespace {

using frasolet::Fragment;
using frasolet::FragmentList;
using frasolet::Text;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

bool is_text_stop(char c) { return c == '\\' || c == '[' || c == ']'; }
bool is_separator(char c) { return c == '#' || c == ','; }
bool is_name_stop(char c) { return c == '[' || c == ']' || c == '|' || is_separator(c); }

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

// clang-format off
bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length;
        std::uint32_t code;
        if (lead < 0x80) { ++i; continue; }
        if (lead >= 0xc2 && lead <= 0xdf) { length = 2; code = lead & 0x1f; }
        else if (lead >= 0xe0 && lead <= 0xef) { length = 3; code = lead & 0x0f; }
        else if (lead >= 0xf0 && lead <= 0xf4) { length = 4; code = lead & 0x07; }
        else return false;
        if (bytes.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3f);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
            (length == 4 && (code < 0x10000 || code > 0x10ffff)))
            return false;
        i += length;
    }
    return true;
}
// clang-format on

const FragmentList& fragments_of(const frasolet::ParseResult& result) {
    // The grammar never trips the no-progress guard, so no text may yield a report.
    CHECK(std::holds_alternative<FragmentList>(result));
    return std::get<FragmentList>(result);
}

bool same_fragments(const FragmentList& a, const FragmentList& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].string != b[i].string || a[i].options != b[i].options) return false;
    return true;
}

// Shape of each fragment, independent of the input.
void check_fragment(const Fragment& fragment, bool input_is_utf8) {
    CHECK(!fragment.string.empty());
    if (fragment.options) {
        for (char c : fragment.string) CHECK(!is_name_stop(c));
        for (const Text& option : *fragment.options) {
            CHECK(!option.empty());
            for (char c : option) CHECK(!is_name_stop(c));
            if (input_is_utf8) CHECK(is_valid_utf8(option));
        }
    }
    if (input_is_utf8) CHECK(is_valid_utf8(fragment.string));
    // The hash feeds the text form piecewise; it must match hashing it joined.
    CHECK(frasolet::fragment_digest(fragment) ==
          frasolet::text_hash(frasolet::text_form(fragment)));
}

// Walks the input along the fragments and returns where they end. Text
// comes either verbatim or, for a backslash or square bracket, as an escape;
// a placeholder is written as parsed except that any run of separators may
// stand between options and an empty option list may keep its vertical line.
std::size_t match_prefix(std::string_view input, const FragmentList& fragments) {
    std::size_t p = 0;
    const auto expect = [&](char c) {
        CHECK(p < input.size() && input[p] == c);
        ++p;
    };
    const auto expect_run = [&](const Text& run) {
        CHECK(input.substr(p, run.size()) == std::string_view(run.data(), run.size()));
        p += run.size();
    };
    for (const Fragment& fragment : fragments) {
        if (fragment.is_text()) {
            for (char c : fragment.string) {
                if (is_text_stop(c)) expect('\\');
                expect(c);
            }
            continue;
        }
        expect('[');
        expect_run(fragment.string);
        if (fragment.options->empty()) {
            if (p < input.size() && input[p] == '|') ++p;
        } else {
            expect('|');
            bool first = true;
            for (const Text& option : *fragment.options) {
                if (!first) {
                    CHECK(p < input.size() && is_separator(input[p]));
                    while (p < input.size() && is_separator(input[p])) ++p;
                }
                first = false;
                expect_run(option);
            }
        }
        expect(']');
    }
    return p;
}

class IgnoredPieces final : public frasolet::PieceSink {
public:
    void text(std::string_view) override {}
    void placeholder(std::string_view, std::span<const std::string_view>) override {}
};

// What a strict parse reports where the lenient one stopped at `stop`.
void check_stop_report(std::string_view input, std::size_t stop) {
    IgnoredPieces sink;
    const frasolet::PiecesRead read = frasolet::parse_pieces(input, sink);
    CHECK(!read.failure);
    CHECK(read.length == stop);
    if (stop == input.size()) return;
    const frasolet::ParseStop report = frasolet::explain_stop(input, stop);
    CHECK(report.start == stop);
    CHECK(report.found >= stop && report.found <= input.size());
    using Reason = frasolet::StopReason;
    switch (input[stop]) {
        case ']':
            CHECK(report.reason == Reason::stray_closing_bracket);
            break;
        case '\\':
            CHECK(report.reason == Reason::unknown_escape ||
                  report.reason == Reason::trailing_backslash);
            CHECK(report.found == stop + 1 || report.found == input.size());
            break;
        default:
            CHECK(input[stop] == '[');
            CHECK(report.reason != Reason::stray_closing_bracket &&
                  report.reason != Reason::unknown_escape &&
                  report.reason != Reason::trailing_backslash);
            // The character that broke the placeholder is no part of a name.
            CHECK(report.found == input.size() || is_name_stop(input[report.found]));
    }
    const std::string message = frasolet::stop_message(input, report);
    CHECK(message.rfind("Found ", 0) == 0);
    CHECK(message.find(", expected ") != std::string::npos);
}

// Escaping any input gives a template that parses whole into that input.
void check_escape(std::string_view input) {
    std::string escaped(2 * input.size(), '\0');
    escaped.resize(
        static_cast<std::size_t>(frasolet::write_escaped(escaped.data(), input) - escaped.data()));
    const frasolet::ParseResult result = frasolet::parse_template(escaped);
    const FragmentList& fragments = fragments_of(result);
    if (input.empty()) {
        CHECK(fragments.empty());
        return;
    }
    CHECK(fragments.size() == 1 && fragments[0].is_text());
    CHECK(std::string_view(fragments[0].string.data(), fragments[0].string.size()) == input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const frasolet::ParseResult result = frasolet::parse_template(input);
    const FragmentList& fragments = fragments_of(result);

    const bool utf8 = is_valid_utf8(input);
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        check_fragment(fragments[i], utf8);
        // Adjacent text always merges.
        if (i != 0) CHECK(!(fragments[i].is_text() && fragments[i - 1].is_text()));
    }

    // Without escapes and without the spellings that the text form normalises
    // ("#" and repeated separators become ",", "|]" becomes "]"), the text
    // forms written one after another are the input up to where parsing stopped.
    if (!contains(input, "\\") && !contains(input, "#") && !contains(input, ",,") &&
        !contains(input, "|]")) {
        const Text joined = frasolet::template_text(fragments);
        CHECK(input.substr(0, joined.size()) == std::string_view(joined.data(), joined.size()));
    }

    // The template digest walks the same text form as the joined text.
    CHECK(frasolet::template_digest(fragments) ==
          frasolet::text_hash(frasolet::template_text(fragments)));

    // In general the fragments account for an exact prefix, and no piece can
    // start where it ends.
    const std::size_t stop = match_prefix(input, fragments);
    if (stop < input.size()) {
        const char c = input[stop];
        CHECK(is_text_stop(c));  // otherwise a text run would have gone on
        if (c == '\\') CHECK(stop + 1 == input.size() || !is_text_stop(input[stop + 1]));
        if (c == '[') CHECK(fragments_of(frasolet::parse_template(input.substr(stop))).empty());
    }

    check_stop_report(input, stop);
    check_escape(input);

    // The dropped rest has no influence: parsing only the prefix gives the same.
    CHECK(same_fragments(fragments_of(frasolet::parse_template(input.substr(0, stop))), fragments));

    // Purity: another parse in between changes nothing, and repeating gives
    // the same result.
    (void)frasolet::parse_template(input.substr(size / 2));
    CHECK(same_fragments(fragments_of(frasolet::parse_template(input)), fragments));
    return 0;
}
