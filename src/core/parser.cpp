#include "core/parser.hpp"

#include <array>
#include <cstring>
#include <span>

#include "core/option_list.hpp"
#include "core/scan.hpp"
#include "platform/compiler.hpp"

namespace frasolet {
namespace {

// The option spans of the placeholder being read: on the stack while there
// are few, which is nearly always, else in a list kept for the parse.
class Spans {
public:
    void clear() noexcept {
        size_ = 0;
        overflow_.clear();
    }
    void emplace_back(const char* data, std::size_t size) {
        if (size_ < kInline) {
            inline_[size_++] = std::string_view(data, size);
            return;
        }
        if (overflow_.empty()) overflow_.assign(inline_.begin(), inline_.end());
        overflow_.emplace_back(data, size);
    }
    operator std::span<const std::string_view>() const noexcept {
        if (overflow_.empty()) return std::span<const std::string_view>(inline_.data(), size_);
        return overflow_;
    }

private:
    static constexpr std::size_t kInline = 8;
    std::array<std::string_view, kInline> inline_;
    std::size_t size_ = 0;             // used entries of inline_
    List<std::string_view> overflow_;  // all entries, once there are more
};

// Room for the unescaped text of a parse: made once, at the first escape, as
// large as the rest of the input, since no later text region is longer.
class UnescapeBuffer {
public:
    UnescapeBuffer() noexcept = default;
    UnescapeBuffer(const UnescapeBuffer&) = delete;
    UnescapeBuffer& operator=(const UnescapeBuffer&) = delete;
    ~UnescapeBuffer() {
        if (data_ != nullptr) CoreAllocator<char>().deallocate(data_, capacity_);
    }

    // The start of a buffer of at least `size` bytes (which, within one
    // parse, never exceeds the first request).
    char* reserve(std::size_t size) {
        if (data_ == nullptr) {
            data_ = CoreAllocator<char>().allocate(size);
            capacity_ = size;
        }
        return data_;
    }

private:
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// Whether `p`, which holds a backslash, begins an escape.
bool escape_at(const char* p, const char* end) {
    return end - p >= 2 && scan::in(scan::text_stop, p[1]);
}

// The rest of a text region from its first escape at `p` on (`start` is where
// the region began): the text is written to `unescaped` with the escapes
// undone, escape by escape with the run after each copied in one step, and
// `piece` is set to it. Returns where the region ends.
FRASOLET_NOINLINE const char* unescape_region(const char* start, const char* p, const char* end,
                                              UnescapeBuffer& unescaped, std::string_view& piece) {
    // Every byte written is one of the region's, and an escape writes one
    // byte for two, so the output never runs ahead of the input: a text run
    // copied at `out` has room for the `end - p` bytes that copy_text_run
    // may write.
    char* const out_start = unescaped.reserve(static_cast<std::size_t>(end - start));
    const auto before = static_cast<std::size_t>(p - start);
    std::memcpy(out_start, start, before);
    char* out = out_start + before;
    do {
        *out++ = p[1];
        p += 2;
        const char* const run_end = scan::copy_text_run(p, end, out);
        out += run_end - p;
        p = run_end;
    } while (p != end && *p == '\\' && escape_at(p, end));
    piece = std::string_view(out_start, static_cast<std::size_t>(out - out_start));
    return p;
}

// Reads the text region at `p`: text runs and escapes up to a square
// bracket, a backslash that escapes nothing, or the end. `piece` receives
// its text with the escapes undone: a view of the input when the region has
// no escape, else a view of `unescaped`. Returns where the region ends (`p`
// itself when it is empty).
const char* read_text_region(const char* p, const char* end, UnescapeBuffer& unescaped,
                             std::string_view& piece) {
    const char* const stop = scan::find_text_stop(p, end);
    if (stop != end && *stop == '\\' && escape_at(stop, end)) {
        return unescape_region(p, stop, end, unescaped, piece);
    }
    piece = std::string_view(p, static_cast<std::size_t>(stop - p));
    return stop;
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

// The records of parse_template (RecordSink's `Records`), each made in its
// place in the list.
struct FragmentListBuilder {
    FragmentList fragments;

    void add_text(std::string_view piece) {
        fragments.emplace_back().string.assign(piece.data(), piece.size());
    }
    void extend_text(std::string_view piece) {
        fragments.back().string.append(piece);  // grows with amortised doubling
    }
    void add_placeholder(std::string_view name, std::span<const std::string_view> spans) {
        Fragment& record = fragments.emplace_back();
        record.string.assign(name.data(), name.size());
        TextList& options = record.options.emplace();
        options.reserve(spans.size());
        for (std::string_view span : spans) options.emplace_back(span.data(), span.size());
    }
};

}  // namespace

PiecesRead parse_pieces(std::string_view text, PieceSink& sink) {
    Spans option_spans;        // reused by every placeholder of this parse
    UnescapeBuffer unescaped;  // made at the first escape, for the rest of the parse
    const char* p = text.data();
    const char* const end = p + text.size();

    while (p != end) {
        if (*p == '[') {
            std::string_view name;
            const char* next = match_placeholder(p, end, name, option_spans);
            if (next == nullptr) break;
            if (next == p) {  // the no-progress guard
                return {static_cast<std::size_t>(p - text.data()), ParseFailure::error()};
            }
            sink.placeholder(name, option_spans);
            p = next;
            continue;
        }
        if (*p == ']') break;
        std::string_view piece;
        const char* next = read_text_region(p, end, unescaped, piece);
        if (next == p) break;  // a backslash that escapes nothing
        sink.text(piece);
        p = next;
    }
    return {static_cast<std::size_t>(p - text.data()), std::nullopt};
}

ParseResult parse_template(std::string_view text) {
    FragmentListBuilder records;
    RecordSink sink(records);
    if (PiecesRead read = parse_pieces(text, sink); read.failure) return *read.failure;
    return std::move(records.fragments);
}

}  // namespace frasolet
