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

TEST(SourceLocation, DefaultArgumentTakesTheCaller) {
    const auto line = __LINE__ + 1;
    const SourceLocation where = where_called();
    EXPECT_EQ(where.line, static_cast<unsigned>(line));
    // The build maps the source directory away (-ffile-prefix-map), so fault
    // messages name files as tests/native/..., not by their absolute path.
    EXPECT_STREQ(where.file, "tests/native/location_test.cpp");
    EXPECT_NE(std::string_view(where.function).find("TestBody"), std::string_view::npos)
        << where.function;
    // Two calls on one line are told apart by their columns.
    const SourceLocation a = where_called(), b = where_called();
    EXPECT_EQ(a.line, b.line);
    EXPECT_GT(a.column, 0u);
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

}  // namespace
