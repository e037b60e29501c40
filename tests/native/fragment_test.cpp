// Derived forms of the fragment record: text form, representation, hash.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "fragment/fragment.hpp"
#include "fragment/siphash.hpp"

namespace frasolet {
namespace {

Fragment make_text(const char* string) { return Fragment{Text(string), std::nullopt}; }

Fragment make_placeholder(const char* string, std::initializer_list<const char*> entries) {
    TextList options;
    for (const char* entry : entries) options.emplace_back(entry);
    return Fragment{Text(string), std::move(options)};
}

std::string str(const Text& text) { return std::string(text.data(), text.size()); }

struct FormCase {
    const char* name;
    Fragment fragment;
    const char* text_form;
    const char* representation;
    std::optional<std::int64_t> hash;  // only where the value is pinned
};

void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

class FragmentForms : public ::testing::TestWithParam<FormCase> {};

TEST_P(FragmentForms, TextFormRepresentationAndHash) {
    const FormCase& c = GetParam();
    const Text form = text_form(c.fragment);
    EXPECT_EQ(str(form), c.text_form);
    EXPECT_EQ(text_form_size(c.fragment), form.size());
    EXPECT_EQ(str(representation(c.fragment)), c.representation);

    // The digest is fed piece by piece; it must equal hashing the joined form.
    const std::uint64_t digest = fragment_digest(c.fragment);
    EXPECT_EQ(digest, text_hash(form));
    if (c.hash) {
        EXPECT_EQ(signed_hash(digest), *c.hash);
    }
}

INSTANTIATE_TEST_SUITE_P(
    OptionStates, FragmentForms,
    ::testing::Values(
        // options absent
        FormCase{"empty_text", make_text(""), "", "\"\"", 3476900567878811119LL},
        FormCase{"short_text", make_text("abc"), "abc", "\"abc\"", -1222198482973350627LL},
        FormCase{"multi_block_text", make_text("hello world, this is longer than 16 bytes"),
                 "hello world, this is longer than 16 bytes",
                 "\"hello world, this is longer than 16 bytes\"", -3123554917125471047LL},
        FormCase{"bracketed_text", make_text("[x]"), "[x]", "\"[x]\"", std::nullopt},
        // options present and empty
        FormCase{"no_entries", make_placeholder("x", {}), "[x]", "[x]", std::nullopt},
        FormCase{"empty_name_no_entries", make_placeholder("", {}), "[]", "[]", std::nullopt},
        // options present with entries
        FormCase{"two_entries", make_placeholder("x", {"a", "b"}), "[x|a,b]", "[x]",
                 -4291059149704120025LL},
        FormCase{"one_entry", make_placeholder("name", {"a"}), "[name|a]", "[name]",
                 std::nullopt},
        FormCase{"syntax_chars_unescaped", make_placeholder("a|b", {"c"}), "[a|b|c]", "[a|b]",
                 std::nullopt},
        FormCase{"empty_entry", make_placeholder("x", {""}), "[x|]", "[x]", std::nullopt},
        FormCase{"empty_entries", make_placeholder("x", {"", ""}), "[x|,]", "[x]",
                 std::nullopt},
        FormCase{"non_ascii", make_placeholder("ü", {"ö", "ß"}), "[ü|ö,ß]", "[ü]",
                 std::nullopt}),
    [](const ::testing::TestParamInfo<FormCase>& info) { return std::string(info.param.name); });

TEST(FragmentHash, FollowsTextFormNotFields) {
    const Fragment text = make_text("[x]");
    const Fragment placeholder = make_placeholder("x", {});
    EXPECT_EQ(fragment_digest(text), fragment_digest(placeholder));
    EXPECT_NE(str(representation(text)), str(representation(placeholder)));
}

TEST(FragmentHash, OptionStatesAreDistinct) {
    const std::uint64_t absent = fragment_digest(make_text("x"));
    const std::uint64_t empty = fragment_digest(make_placeholder("x", {}));
    const std::uint64_t one_empty_entry = fragment_digest(make_placeholder("x", {""}));
    EXPECT_NE(absent, empty);
    EXPECT_NE(empty, one_empty_entry);
    EXPECT_NE(absent, one_empty_entry);
}

TEST(FragmentHash, SignedHashReservesMinusOne) {
    EXPECT_EQ(signed_hash(~std::uint64_t{0}), -2);
    EXPECT_EQ(signed_hash(~std::uint64_t{0} - 1), -2);
    EXPECT_EQ(signed_hash(0), 0);
    EXPECT_EQ(signed_hash(std::uint64_t{1} << 63), INT64_MIN);
    EXPECT_EQ(signed_hash(0x7fffffffffffffffULL), INT64_MAX);
}

}  // namespace
}  // namespace frasolet
