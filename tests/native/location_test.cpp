// The portable source location (binding/location.hpp): as a default
// argument it captures the caller's file, line, column and function, the
// way std::source_location does, with GCC and with clang alike.

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <utility>
#if __has_include(<source_location>)
#include <source_location>
#endif

#include "binding/location.hpp"

namespace {

using frasolet::binding::SourceLocation;

SourceLocation where_called(SourceLocation where = SourceLocation::current()) { return where; }

TEST(SourceLocation, DefaultArgumentTakesTheCallersLine) {
    const auto line = __LINE__ + 1;
    const SourceLocation where = where_called();
    EXPECT_EQ(where.line, static_cast<unsigned>(line));
    EXPECT_GT(where.column, 0u);
    EXPECT_STREQ(where.file, __FILE__);
    EXPECT_NE(std::string_view(where.function).find("TestBody"), std::string_view::npos)
        << where.function;
}

TEST(SourceLocation, DistinctCallsDistinctColumns) {
    const SourceLocation first = where_called();
    const SourceLocation second = where_called();
    EXPECT_EQ(first.line + 1, second.line);
    const SourceLocation a = where_called(), b = where_called();
    EXPECT_EQ(a.line, b.line);
    EXPECT_LT(a.column, b.column);
}

#if defined(__cpp_lib_source_location)
// Where the standard class exists (GCC), the fault messages keep printing
// exactly what they printed when they used it.
std::pair<SourceLocation, std::source_location> both_called(
    SourceLocation ours = SourceLocation::current(),
    std::source_location standard = std::source_location::current()) {
    return {ours, standard};
}

TEST(SourceLocation, SameAsStdSourceLocation) {
    const auto [ours, standard] = both_called();
    EXPECT_STREQ(ours.file, standard.file_name());
    EXPECT_EQ(ours.line, standard.line());
    EXPECT_EQ(ours.column, standard.column());
}
#endif

TEST(SourceLocation, FileNameIsRelativeToTheProjectRoot) {
    // The build maps the source directory away (-ffile-prefix-map), so fault
    // messages name files as tests/native/..., not by their absolute path.
    const std::string_view file = where_called().file;
    EXPECT_EQ(file, "tests/native/location_test.cpp");
}

TEST(SourceLocation, DefaultConstructedIsEmpty) {
    constexpr SourceLocation none;
    EXPECT_STREQ(none.file, "");
    EXPECT_EQ(none.line, 0u);
    EXPECT_EQ(none.column, 0u);
}

}  // namespace
