#include "outside/error/error.h"

#include <gtest/gtest.h>

#include <string>

namespace zelko::shared::error {
namespace {

TEST(ErrorTest, EmptyIsFalseAndFilledIsTrue) {
    EXPECT_FALSE(Error());
    Error e(ErrorCategory::EC_Component, -2, "Invalid shadow format", "int", "origin");
    EXPECT_TRUE(e);
    EXPECT_EQ(e.code(), -2);
    EXPECT_EQ(e.what(), "Invalid shadow format");
    EXPECT_EQ(e.type(), "int");
}

TEST(ErrorTest, ToStringReportsLengthThenWrites) {
    Error e(ErrorCategory::EC_StdException, 1, "boom", "std::runtime_error");
    size_t n = Error::ToString(e, nullptr);
    std::string text(n, '-');
    EXPECT_EQ(Error::ToString(e, text.data()), n);
    EXPECT_NE(text.find("boom"), std::string::npos);
    EXPECT_EQ(text.find('-'), std::string::npos);
}

TEST(ErrorTest, ToStringIsAJsonObjectWithEscapedTexts) {
    Error e(ErrorCategory::EC_Component, 4, "say \"hi\"\n", "int", "a\\b");
    std::string text(Error::ToString(e, nullptr), '-');
    Error::ToString(e, text.data());
    EXPECT_EQ(
        text,
        R"({"category":"EC_Component","code":4,"type":"int","what":"say \"hi\"\u000a","origin":"a\\b"})");
}

TEST(ErrorTest, FromStringKnowsEveryCategoryName) {
    ErrorCategory category = ErrorCategory::EC_Unknown;
    ASSERT_TRUE(Error::FromString("EC_NoError", category));
    EXPECT_EQ(category, ErrorCategory::EC_NoError);
    for (int i = 0; i <= 5; ++i) {
        auto value = static_cast<ErrorCategory>(i);
        ASSERT_TRUE(Error::FromString(Error::CategoryName(value), category));
        EXPECT_EQ(category, value);
    }
    EXPECT_FALSE(Error::FromString("nonsense", category));
}

}  // namespace
}  // namespace zelko::shared::error
