// Shared records: a write makes a new record and leaves the old one whole.

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/shared_record.hpp"

namespace frasolet {
namespace {

std::string form(const SharedRecord& record) {
    const Text text = text_form(record);
    return std::string(text.data(), text.size());
}

TEST(SharedRecord, WritesMakeNewRecordsAndLeaveTheOld) {
    constexpr std::array<std::string_view, 3> options{"a", "", "ccc"};
    const RecordRef original = RecordRef::adopt(SharedRecord::make("name", options));
    const RecordRef holder = original;  // a second holder of the same record
    ASSERT_EQ(&*holder, &*original);

    const RecordRef renamed = RecordRef::adopt(SharedRecord::with_string(*original, "other"));
    TextList replaced;
    replaced.emplace_back("z");
    const RecordRef reoptioned =
        RecordRef::adopt(SharedRecord::with_options(*original, std::optional<TextList>(replaced)));
    const RecordRef as_text = RecordRef::adopt(SharedRecord::with_options(*original, std::nullopt));
    const RecordRef extended = RecordRef::adopt(SharedRecord::extended(*as_text, "+more"));

    EXPECT_EQ(form(*renamed), "[other|a,,ccc]");
    EXPECT_EQ(form(*reoptioned), "[name|z]");
    EXPECT_EQ(form(*as_text), "name");
    EXPECT_EQ(form(*extended), "name+more");
    EXPECT_EQ(form(*holder), "[name|a,,ccc]");
}

TEST(SharedRecord, AnEmbeddedRecordIsCopiedWhenShared) {
    constexpr std::array<std::string_view, 1> options{"o"};
    const SharedRecord::OptionSpans spans = options;
    alignas(SharedRecord) unsigned char memory[128];
    ASSERT_LE(SharedRecord::size_of("n", spans), sizeof memory);
    const RecordRef embedded = RecordRef::adopt(SharedRecord::build_in(memory, "n", spans));
    const RecordRef shared = embedded.share();
    EXPECT_TRUE(embedded->is_embedded());
    EXPECT_NE(&*shared, &*embedded);
    EXPECT_FALSE(shared->is_embedded());
    EXPECT_EQ(form(*shared), "[n|o]");
    // A counted record is shared as it is.
    EXPECT_EQ(&*shared.share(), &*shared);
}

TEST(SharedRecord, TheEmptyTextIsWhatADefaultReferenceHolds) {
    const RecordRef empty;
    EXPECT_TRUE(empty->is_text());
    EXPECT_EQ(empty->string(), "");
    EXPECT_EQ(&*empty, &*RecordRef());
}

}  // namespace
}  // namespace frasolet
