// Message texts of the parse failure report.

#include <gtest/gtest.h>

#include <string>

#include "core/parse_failure.hpp"

namespace frasolet {
namespace {

struct MessageCase {
    ParseFailure failure;
    const char* message;
};

class ParseFailureMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ParseFailureMessage, Text) { EXPECT_EQ(GetParam().failure.message(), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, ParseFailureMessage,
    ::testing::Values(MessageCase{ParseFailure::error(), "Parsing Error: ()"},
                      MessageCase{ParseFailure::failure(), "Parsing Failure: ()"},
                      MessageCase{ParseFailure::incomplete(1), "Parsing requires 1 bytes/chars"},
                      MessageCase{ParseFailure::incomplete(3), "Parsing requires 3 bytes/chars"},
                      MessageCase{ParseFailure::incomplete(1000000),
                                  "Parsing requires 1000000 bytes/chars"},
                      MessageCase{ParseFailure::incomplete(), "Parsing requires more data"}));

}  // namespace
}  // namespace frasolet
