#include "core/shared_record.hpp"

#include <new>

namespace frasolet {
namespace {

// The fields a record is built from, whatever holds them: spans of a parse,
// a plain record, or another record with one field replaced. Each has
// `string`, `is_text`, `count` and option(i).
struct SpanSource {
    std::string_view string;
    SharedRecord::OptionSpans options;
    bool is_text() const noexcept { return !options.has_value(); }
    std::size_t count() const noexcept { return options ? options->size() : 0; }
    std::string_view option(std::size_t i) const noexcept { return (*options)[i]; }
};

struct FragmentSource {
    std::string_view string;
    const std::optional<TextList>& options;
    bool is_text() const noexcept { return !options.has_value(); }
    std::size_t count() const noexcept { return options ? options->size() : 0; }
    std::string_view option(std::size_t i) const noexcept { return (*options)[i]; }
};

struct RecordSource {
    std::string_view string;
    const SharedRecord& options;  // the options of this record
    bool is_text() const noexcept { return options.is_text(); }
    std::size_t count() const noexcept { return options.option_count(); }
    std::string_view option(std::size_t i) const noexcept { return options.option(i); }
};

template <class Source>
std::size_t block_size(const Source& source) noexcept {
    std::size_t size = sizeof(SharedRecord) + source.string.size();
    for (std::size_t i = 0; i < source.count(); ++i) {
        size += sizeof(std::size_t) + source.option(i).size();
    }
    return size;
}

}  // namespace

SharedRecord SharedRecord::empty_{kUncounted};

template <class Source>
SharedRecord* SharedRecord::construct(void* memory, std::size_t references,
                                      const Source& source) noexcept {
    auto* record = new (memory) SharedRecord(references);
    record->string_size_ = source.string.size();
    record->option_count_ = source.is_text() ? kText : source.count();
    auto* ends = reinterpret_cast<std::size_t*>(record + 1);
    char* out = reinterpret_cast<char*>(ends + record->option_count());
    if (!source.string.empty()) std::memcpy(out, source.string.data(), source.string.size());
    out += source.string.size();
    std::size_t end = 0;
    for (std::size_t i = 0; i < record->option_count(); ++i) {
        const std::string_view option = source.option(i);
        if (!option.empty()) std::memcpy(out + end, option.data(), option.size());
        end += option.size();
        ends[i] = end;
    }
    return record;
}

template <class Source>
SharedRecord* SharedRecord::make_counted(const Source& source) {
    const std::size_t size = block_size(source);
    void* memory = memory_hooks().allocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return construct(memory, 1, source);
}

std::size_t SharedRecord::size_of(std::string_view string, OptionSpans options) noexcept {
    return block_size(SpanSource{string, options});
}

SharedRecord* SharedRecord::build_in(void* memory, std::string_view string,
                                     OptionSpans options) noexcept {
    return construct(memory, 0, SpanSource{string, options});
}

SharedRecord* SharedRecord::make(std::string_view string, OptionSpans options) {
    return make_counted(SpanSource{string, options});
}

SharedRecord* SharedRecord::make(const Fragment& fragment) {
    return make_counted(FragmentSource{fragment.string, fragment.options});
}

SharedRecord* SharedRecord::copy(const SharedRecord& record) {
    return make_counted(RecordSource{record.string(), record});
}

SharedRecord* SharedRecord::with_string(const SharedRecord& record, std::string_view string) {
    return make_counted(RecordSource{string, record});
}

SharedRecord* SharedRecord::with_options(const SharedRecord& record,
                                         const std::optional<TextList>& options) {
    return make_counted(FragmentSource{record.string(), options});
}

SharedRecord* SharedRecord::extended(const SharedRecord& record, std::string_view more) {
    assert(record.is_text());
    Text joined;
    joined.reserve(record.string().size() + more.size());
    joined.append(record.string()).append(more);
    return make(joined, std::nullopt);
}

void SharedRecord::free_counted(SharedRecord* record) noexcept {
    record->~SharedRecord();
    memory_hooks().release(record);
}

Fragment SharedRecord::to_fragment() const {
    Fragment fragment;
    fragment.string.assign(string());
    if (!is_text()) {
        TextList& options = fragment.options.emplace();
        options.reserve(option_count());
        for (std::size_t i = 0; i < option_count(); ++i) options.emplace_back(option(i));
    }
    return fragment;
}

RecordRef RecordRef::share() const {
    if (!record_->is_embedded()) return *this;
    return adopt(SharedRecord::copy(*record_));
}

SharedRecordList SharedRecordList::make(List<RecordRef>&& records) {
    void* memory = memory_hooks().allocate(sizeof(Block));
    if (memory == nullptr) throw std::bad_alloc();
    SharedRecordList list;
    list.block_ = new (memory) Block{1, std::move(records)};
    return list;
}

void SharedRecordList::release(Block* block) noexcept {
    block->~Block();
    memory_hooks().release(block);
}

}  // namespace frasolet
