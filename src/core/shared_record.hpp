// A fragment record that several holders share until one of them changes
// it: a template, its iterators and the fragments they hand out all point at
// the same SharedRecord, so walking a template copies no text.
//
// A SharedRecord never changes once built (only its text-shape memo, which
// follows from the text, is filled in later): a holder that changes a field
// builds a new record and lets go of the old one, so every other holder keeps
// what it had. Each record is one block, header then option ends then bytes,
// and keeps no other record alive.
//
// A record is either counted (a block of its own, freed by the release of the
// last reference) or embedded (built inside the memory of one owner, which
// frees it with itself; it is never shared, and copied out when a second
// holder wants it).
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "core/allocator.hpp"
#include "core/fragment.hpp"

namespace frasolet {

class SharedRecord {
public:
    SharedRecord(const SharedRecord&) = delete;
    SharedRecord& operator=(const SharedRecord&) = delete;

    using OptionSpans = std::optional<std::span<const std::string_view>>;

    // The bytes a record of these fields takes: absent options make a text
    // record.
    static std::size_t size_of(std::string_view string, OptionSpans options) noexcept;

    // Builds an embedded record in `memory` (size_of() bytes, aligned for a
    // word). Cannot fail.
    static SharedRecord* build_in(void* memory, std::string_view string,
                                  OptionSpans options) noexcept;

    // New counted records, each holding one reference. Throw std::bad_alloc.
    static SharedRecord* make(std::string_view string, OptionSpans options);
    static SharedRecord* make(const Fragment& fragment);
    static SharedRecord* copy(const SharedRecord& record);
    // `record` with one field replaced: what a write of that field makes.
    static SharedRecord* with_string(const SharedRecord& record, std::string_view string);
    static SharedRecord* with_options(const SharedRecord& record,
                                      const std::optional<TextList>& options);
    // A text record with `more` after the text of `record`.
    static SharedRecord* extended(const SharedRecord& record, std::string_view more);

    // The record every holder starts from: the empty text. It is one object
    // for the whole process, used at once by interpreters that each run on
    // a lock of their own, so it is never counted (a count raced from two
    // threads could reach zero and free it) and never written.
    static SharedRecord* empty_text() noexcept { return &empty_; }

    bool is_embedded() const noexcept { return references_ == 0; }
    void retain() noexcept {
        assert(!is_embedded());
        if (references_ != kUncounted) ++references_;
    }
    void release() noexcept {
        if (is_embedded() || references_ == kUncounted) return;
        if (--references_ == 0) free_counted(this);
    }

    std::string_view string() const noexcept { return {bytes(), string_size_}; }
    bool is_text() const noexcept { return option_count_ == kText; }
    std::size_t option_count() const noexcept { return is_text() ? 0 : option_count_; }
    std::string_view option(std::size_t index) const noexcept {
        assert(index < option_count());
        const std::size_t start = index == 0 ? 0 : option_ends()[index - 1];
        return {bytes() + string_size_ + start, option_ends()[index] - start};
    }

    // The bytes of every option, one after the other.
    std::string_view option_bytes() const noexcept {
        const std::size_t count = option_count();
        return {bytes() + string_size_, count == 0 ? 0 : option_ends()[count - 1]};
    }

    // Calls visit(option) for each option in order: the quick way through
    // them all, for readers that take every one.
    template <class Visit>
    void each_option(Visit&& visit) const {
        const std::size_t count = option_count();
        const std::size_t* ends = option_ends();
        const char* data = bytes() + string_size_;
        std::size_t start = 0;
        for (std::size_t i = 0; i < count; ++i) {
            visit(std::string_view(data + start, ends[i] - start));
            start = ends[i];
        }
    }

    // What the reader of the string learnt of it (the str maker's shape of
    // non-ASCII text); 0 until then. The memo follows from the bytes, so
    // every holder may fill it in, except that of the empty text, which stays
    // 0 (see empty_text).
    std::uint64_t& string_memo() const noexcept { return string_memo_; }

    // A copy of the fields as a plain record.
    Fragment to_fragment() const;

private:
    static constexpr std::size_t kText = static_cast<std::size_t>(-1);
    static constexpr std::size_t kUncounted = static_cast<std::size_t>(-1);  // the empty text

    constexpr explicit SharedRecord(std::size_t references) noexcept : references_(references) {}
    static void free_counted(SharedRecord* record) noexcept;
    template <class Source>
    static SharedRecord* construct(void* memory, std::size_t references,
                                   const Source& source) noexcept;
    template <class Source>
    static SharedRecord* make_counted(const Source& source);

    static SharedRecord empty_;

    const std::size_t* option_ends() const noexcept {
        return reinterpret_cast<const std::size_t*>(this + 1);
    }
    const char* bytes() const noexcept {
        return reinterpret_cast<const char*>(option_ends() + option_count());
    }

    std::size_t references_ = 0;  // 0: embedded; kUncounted: the empty text
    std::size_t string_size_ = 0;
    std::size_t option_count_ = kText;
    mutable std::uint64_t string_memo_ = 0;
    // then: option_count() ends of the options, each counted from the end of
    // the string; then the bytes of the string and of every option.
};

static_assert(sizeof(SharedRecord) % alignof(std::size_t) == 0);

// One reference to a record: retains on copy, releases on destruction. Never
// null: a default one holds the empty text.
class RecordRef {
public:
    RecordRef() noexcept : record_(SharedRecord::empty_text()) { record_->retain(); }
    // Takes over a reference the caller holds (or an embedded record).
    static RecordRef adopt(SharedRecord* record) noexcept { return RecordRef(record); }

    RecordRef(const RecordRef& other) noexcept : record_(other.record_) { record_->retain(); }
    RecordRef(RecordRef&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    RecordRef& operator=(RecordRef other) noexcept {
        std::swap(record_, other.record_);
        return *this;
    }
    ~RecordRef() {
        if (record_ != nullptr) record_->release();
    }

    const SharedRecord& get() const noexcept { return *record_; }
    const SharedRecord& operator*() const noexcept { return *record_; }
    const SharedRecord* operator->() const noexcept { return record_; }

    // A reference another holder may keep: this record itself, or a counted
    // copy of an embedded one.
    RecordRef share() const;

private:
    explicit RecordRef(SharedRecord* record) noexcept : record_(record) {}
    SharedRecord* record_;
};

// A template's records: shared by the template and its iterators, and never
// changed once made (a write of the template replaces the whole list).
// Counted without atomics: every holder is an object of one interpreter and
// is touched only under that interpreter's lock. (The atomic count of
// std::shared_ptr would also tie the module to a newer C library.)
class SharedRecordList {
public:
    // The records of a parse, each counted on its own (RecordSink's
    // `Records`), to be shared once complete.
    struct Builder {
        List<RecordRef> records;

        void add_text(std::string_view piece) {
            records.push_back(RecordRef::adopt(SharedRecord::make(piece, std::nullopt)));
        }
        void extend_text(std::string_view piece) {
            records.back() = RecordRef::adopt(SharedRecord::extended(*records.back(), piece));
        }
        void add_placeholder(std::string_view name, std::span<const std::string_view> spans) {
            records.push_back(RecordRef::adopt(SharedRecord::make(name, spans)));
        }
    };

    SharedRecordList() noexcept = default;
    SharedRecordList(const SharedRecordList& other) noexcept : block_(other.block_) {
        if (block_ != nullptr) ++block_->references;
    }
    SharedRecordList(SharedRecordList&& other) noexcept
        : block_(std::exchange(other.block_, nullptr)) {}
    SharedRecordList& operator=(SharedRecordList other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~SharedRecordList() {
        if (block_ != nullptr && --block_->references == 0) release(block_);
    }

    // Moves `records` into a new shared list, one block through the core's
    // allocator. Throws std::bad_alloc.
    static SharedRecordList make(List<RecordRef>&& records);

    const List<RecordRef>& operator*() const noexcept {
        assert(block_ != nullptr);
        return block_->records;
    }
    const List<RecordRef>* operator->() const noexcept { return &**this; }

private:
    struct Block {
        std::size_t references;
        List<RecordRef> records;
    };
    static void release(Block* block) noexcept;

    Block* block_ = nullptr;
};

// The accessors of walk_text_form.
inline std::string_view record_string(const SharedRecord& record) noexcept {
    return record.string();
}
inline bool record_is_text(const SharedRecord& record) noexcept { return record.is_text(); }
template <class Visit>
void for_each_option(const SharedRecord& record, Visit&& visit) {
    record.each_option(std::forward<Visit>(visit));
}

}  // namespace frasolet
