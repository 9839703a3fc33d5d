#include "foundation/utils_strings.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace zelko::plenar::agent {
namespace {

using Parts = std::vector<std::string>;

TEST(SplitTest, KeepsEmptyPartsAndTheRest) {
    const struct {
        const char* text;
        const char* delimiter;
        Parts parts;
    } cases[] = {
        {"a.b", ".", {"a", "b"}},
        {"a..b", ".", {"a", "", "b"}},
        {"a.", ".", {"a", ""}},
        {".", ".", {"", ""}},
        {"", ".", {""}},
        {"abc", ".", {"abc"}},
        {"a::b::::c", "::", {"a", "b", "", "c"}},
        {"a:b", "::", {"a:b"}},
        {"postponed_origin_2024", "_", {"postponed", "origin", "2024"}},
    };
    for (const auto& c : cases) EXPECT_EQ(Utils::Split(c.text, c.delimiter), c.parts) << c.text;
}

TEST(SplitTest, RefusesAnEmptyDelimiter) {
    EXPECT_THROW(Utils::Split("abc", ""), std::invalid_argument);
    EXPECT_THROW(Utils::Split("", ""), std::invalid_argument);
}

TEST(GetGunTest, TakesTheNinthPart) {
    EXPECT_EQ(Utils::GetGun("a.b.c.d.e.f.g.h.gun"), "gun");
    EXPECT_EQ(Utils::GetGun("a.b.c.d.e.f.g.h.gun.x.y"), "gun");
    EXPECT_EQ(Utils::GetGun("a.b.c.d.e.f.g.h."), "");
    EXPECT_EQ(Utils::GetGun("a.b.c.d.e.f.g.h"), "no_gun");
    EXPECT_EQ(Utils::GetGun(""), "no_gun");
}

TEST(TrimTest, RemovesWhiteSpaceAndApostrophesAtBothEnds) {
    const struct {
        const char* text;
        const char* trimmed;
    } cases[] = {
        {"'  x '", "x"},
        {" ' '' ", ""},
        {"", ""},
        {"\t\r\n\v\fname-1.0\n", "name-1.0"},
        {"it's me", "it's me"},
        {"\"quoted\"", "\"quoted\""},
    };
    for (const auto& c : cases) EXPECT_EQ(Utils::Trim(c.text), c.trimmed) << c.text;
}

TEST(ToLowerTest, ChangesOnlyAsciiCapitals) {
    EXPECT_EQ(Utils::ToLower("MSI Ab-Z@[`"), "msi ab-z@[`");
    EXPECT_EQ(Utils::ToLower("\xC3\x84X"), "\xC3\x84x");
}

TEST(Utf8ToWideTest, ConvertsAndReplacesInvalidSequences) {
    const struct {
        std::string utf8;
        std::u16string wide;
    } cases[] = {
        {"System", u"System"},
        {"", u""},
        {"\xC3\xA4\xE2\x82\xAC", u"\u00E4\u20AC"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a surrogate pair
        {std::string("ab\0cd", 5), u"ab"},    // up to the first NUL
        {"a\xFF"
         "b",
         u"a\uFFFDb"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
        {"\xE2\x82"
         "x",
         u"\uFFFDx"},                                       // cut short: one replacement
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xE2\x82", u"\uFFFD"},
    };
    for (const auto& c : cases) EXPECT_EQ(Utils::Utf8ToWideChecked(c.utf8), c.wide) << c.utf8;
}

TEST(EscapeInvalidUtf8Test, EscapesOnlyTheBytesOutsideWellFormedSequences) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"a\xFF" "b", "a\\xFFb"},
        {"cut \xE2\x82", "cut \\xE2\\x82"},            // sequence cut at the end
        {"\xC0\xAF", "\\xC0\\xAF"},                    // overlong
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},        // surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // above U+10FFFF
        {std::string("nul\0\x80", 5), std::string("nul\0\\x80", 8)},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(Utils::EscapeInvalidUtf8(in), out);
        EXPECT_NO_THROW((void)nlohmann::json(Utils::EscapeInvalidUtf8(in)).dump());
    }
}

TEST(ToIntTest, ReadsTheLeadingNumber) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"12abc", 12}, {"  -7", -7}, {"+3.9", 3}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}};
    for (const auto& c : cases) {
        int32_t out = 99;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(Utils::ToInt(c.text, out)) << c.text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(out, c.value) << c.text;
    }
}

TEST(ToIntTest, FailuresLeaveTheValueAndSayWhyOnStandardOutput) {
    const struct {
        const char* text;
        const char* prefix;
    } cases[] = {
        {"abc", "Invalid argument: "},     {"", "Invalid argument: "},       {"- 1", "Invalid argument: "},
        {"12345678901", "Out of range: "}, {"2147483648", "Out of range: "},
    };
    for (const auto& c : cases) {
        int32_t out = 99;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(Utils::ToInt(c.text, out)) << c.text;
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(said.rfind(c.prefix, 0), 0u) << said;
        EXPECT_EQ(said.back(), '\n');
        EXPECT_EQ(out, 99);
    }
}

}  // namespace
}  // namespace zelko::plenar::agent
