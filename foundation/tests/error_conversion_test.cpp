#include "foundation/error_conversion.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace zelko::plenar::agent::error {
namespace {

using shared::error::ErrorCategory;
using ::testing::EndsWith;
using ::testing::HasSubstr;

Error Convert(const std::function<void()>& thrower) {
    try {
        thrower();
    } catch (...) {
        return ErrorFromException(std::current_exception(), "Origin::Function");
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

TEST(ErrorConversionTest, EveryExceptionMapsToItsRow) {
    struct Case {
        const char* name;
        std::function<void()> thrower;
        ErrorCategory category;
        int64_t code;
        std::string message;
        std::string type;
    } cases[] = {
        {"out_of_range", [] { throw std::out_of_range("index 3"); }, ErrorCategory::EC_StdException, 1,
         "index 3", "std::out_of_range"},
        {"runtime_error", [] { throw std::runtime_error("boom"); }, ErrorCategory::EC_StdException, 1, "boom",
         "std::runtime_error"},
        {"int", [] { throw 7; }, ErrorCategory::EC_Component, 7, "", "int"},
        {"negative int", [] { throw -2; }, ErrorCategory::EC_Component, -2, "", "int"},
        {"unsigned long", [] { throw 42UL; }, ErrorCategory::EC_Component, 42, "", "unsigned long"},
        {"string", [] { throw std::string("text"); }, ErrorCategory::EC_Component,
         static_cast<int64_t>(typeid(std::string).hash_code()), "text", ""},
        {"literal", [] { throw "literal"; }, ErrorCategory::EC_Component,
         static_cast<int64_t>(typeid(const char*).hash_code()), "literal", "char const*"},
        {"double", [] { throw 1.5; }, ErrorCategory::EC_Unknown, 0, "Unknown exception type.", "Unknown"},
        {"unsigned int", [] { throw 5U; }, ErrorCategory::EC_Unknown, 0, "Unknown exception type.",
         "Unknown"},
    };
    for (const auto& c : cases) {
        Error error = Convert(c.thrower);
        EXPECT_EQ(error.category(), c.category) << c.name;
        EXPECT_EQ(error.code(), c.code) << c.name;
        EXPECT_EQ(error.what(), c.message) << c.name;
        if (!c.type.empty()) {
            EXPECT_EQ(error.type(), c.type) << c.name;
        }
        EXPECT_EQ(error.origin(), "Origin::Function") << c.name;
    }
    EXPECT_THAT(Convert([] { throw std::string("x"); }).type(), HasSubstr("basic_string"));
}

TEST(ErrorConversionTest, SystemErrorsNameTheirCategoryAndValue) {
    Error error = Convert([] { throw std::system_error(5, std::system_category(), "access"); });
    EXPECT_EQ(error.category(), ErrorCategory::EC_StdException);
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.type(), "std::system_error");
    std::string what = std::system_error(5, std::system_category(), "access").what();
    EXPECT_EQ(error.what(), "message: '" + what + "' system code : 'system:5'");
    EXPECT_THAT(error.what(), EndsWith("system:5'"));

    // Derived system errors take the same row and keep their own type name.
    Error fs = Convert([] {
        throw std::filesystem::filesystem_error("copy",
                                                std::make_error_code(std::errc::no_such_file_or_directory));
    });
    EXPECT_THAT(fs.what(), EndsWith("generic:2'"));
    EXPECT_EQ(fs.type(), "std::filesystem::__cxx11::filesystem_error");
}

TEST(ErrorConversionTest, NullExceptionAndNullOriginAreHandled) {
    Error error = ErrorFromException(nullptr, nullptr);
    EXPECT_EQ(error.category(), ErrorCategory::EC_Unknown);
    EXPECT_EQ(error.what(), "Unknown exception type.");
    EXPECT_EQ(error.origin(), "");
    EXPECT_EQ(ErrorFromStdException(std::logic_error("l"), nullptr).origin(), "");
}

TEST(ErrorConversionTest, FromCodeIsAComponentErrorOfTypeInt) {
    Error error = ErrorFromCode(-3, "Invalid shadow format", "RemoteConfig");
    EXPECT_EQ(error, Error(ErrorCategory::EC_Component, -3, "Invalid shadow format", "int", "RemoteConfig"));
}

TEST(ErrorConversionTest, ToStringGivesTheLibrarysWholeText) {
    Error error(ErrorCategory::EC_Network, 404, "not found", "int", "Http");
    std::string text = ErrorToString(error);
    EXPECT_EQ(text.size(), Error::ToString(error, nullptr));
    EXPECT_THAT(text, HasSubstr("not found"));
    EXPECT_EQ(text.find('-'), std::string::npos);
    EXPECT_EQ(ErrorToString(Error()).size(), Error::ToString(Error(), nullptr));
}

}  // namespace
}  // namespace zelko::plenar::agent::error
