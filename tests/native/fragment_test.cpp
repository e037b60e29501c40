// Derived forms of the fragment record: text form, representation, hash.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "core/fragment.hpp"
#include "core/shared_record.hpp"
#include "core/siphash.hpp"
#include "core/template_text.hpp"

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
        EXPECT_EQ(static_cast<std::int64_t>(digest), *c.hash);
    }

    // The shared form of the same fields derives the same, and gives them back.
    const RecordRef shared = RecordRef::adopt(SharedRecord::make(c.fragment));
    EXPECT_EQ(str(text_form(*shared)), c.text_form);
    EXPECT_EQ(text_form_size(*shared), form.size());
    EXPECT_EQ(str(representation(*shared)), c.representation);
    EXPECT_EQ(fragment_digest(*shared), digest);
    const Fragment back = shared->to_fragment();
    EXPECT_EQ(str(text_form(back)), c.text_form);
    EXPECT_EQ(str(representation(back)), c.representation);
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
        FormCase{"one_entry", make_placeholder("name", {"a"}), "[name|a]", "[name]", std::nullopt},
        FormCase{"syntax_chars_unescaped", make_placeholder("a|b", {"c"}), "[a|b|c]", "[a|b]",
                 std::nullopt},
        FormCase{"empty_entry", make_placeholder("x", {""}), "[x|]", "[x]", std::nullopt},
        FormCase{"empty_entries", make_placeholder("x", {"", ""}), "[x|,]", "[x]", std::nullopt},
        FormCase{"non_ascii", make_placeholder("ü", {"ö", "ß"}), "[ü|ö,ß]", "[ü]", std::nullopt}),
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

TEST(TemplateText, JoinsTheFragmentsTextForms) {
    FragmentList fragments;
    fragments.push_back(make_text("Hi "));
    fragments.push_back(make_placeholder("name", {"a", "b"}));
    fragments.push_back(make_placeholder("x", {}));
    fragments.push_back(make_text("!"));
    const Text joined = template_text(fragments);
    EXPECT_EQ(str(joined), "Hi [name|a,b][x]!");
    EXPECT_EQ(template_text_size(fragments), joined.size());
    EXPECT_EQ(template_digest(fragments), text_hash(joined));
    // The digest of a template is that of one fragment with the same text form.
    EXPECT_EQ(template_digest(fragments), fragment_digest(make_text("Hi [name|a,b][x]!")));
    EXPECT_EQ(str(template_text(FragmentList{})), "");
    EXPECT_EQ(template_digest(FragmentList{}), fragment_digest(make_text("")));
}

}  // namespace
}  // namespace frasolet
