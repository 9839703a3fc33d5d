#include "outside/os_info/os_info.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "testing/temp_system_root.h"

namespace zelko::shared::os {
namespace {

// Sets (or unsets) an environment variable while alive.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    ~ScopedVariable() { previous_ ? setenv(name_, previous_->c_str(), 1) : unsetenv(name_); }

  private:
    const char* name_;
    std::optional<std::string> previous_;
};

void FreeTexts(OSInfoParams& params) {
    for (char** field : {&params.name, &params.version, &params.build, &params.edition, &params.architecture,
                         &params.prettyName, &params.machineName, &params.language, &params.locale,
                         &params.countryCode}) {
        std::free(*field);
        *field = nullptr;
    }
}

class OSInfoTest : public testing::SystemRootTest {
  protected:
    std::filesystem::path ReleaseFile() const { return scratch() / "os-release"; }
    void SetUp() override {
        SystemRootTest::SetUp();
        std::ofstream(ReleaseFile()) << "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
                                    "VERSION_ID=\"12\"\nID=debian\n# comment\nbroken line\n";
    }
};

TEST_F(OSInfoTest, FillsTheRecordFromOsReleaseUnameAndLocale) {
    ScopedVariable all("LC_ALL", std::nullopt), messages("LC_MESSAGES", "de_DE.UTF-8@euro");
    ScopedVariable configured(kCountryVariable, std::nullopt);
    OSInfoParams params;
    ASSERT_FALSE(OSInfo::RetrieveOSInfo(&params, ReleaseFile()));
    EXPECT_STREQ(params.name, "Debian GNU/Linux");
    EXPECT_STREQ(params.version, "12");
    EXPECT_STREQ(params.edition, "debian");
    EXPECT_STREQ(params.prettyName, "Debian GNU/Linux 12 (bookworm)");
    EXPECT_STRNE(params.build, "");
    EXPECT_STRNE(params.architecture, "");
    EXPECT_STREQ(params.language, "de");
    EXPECT_STREQ(params.locale, "de_DE");
    EXPECT_STREQ(params.countryCode, "DE");
    FreeTexts(params);
}

TEST_F(OSInfoTest, CountryComesFromTheConfiguredValueOrElseFails) {
    struct Case {
        const char* name;
        std::optional<std::string> locale;
        std::optional<std::string> configured;
        const char* country;  // null: an error
    };
    const Case cases[] = {
        {"configured wins", "de_DE.UTF-8", "fr", "FR"},
        {"configured without locale", std::nullopt, "US", "US"},
        {"C locale", "C.UTF-8", std::nullopt, nullptr},
        {"POSIX", "POSIX", std::nullopt, nullptr},
        {"no locale", std::nullopt, std::nullopt, nullptr},
        {"bad configured value", "en_GB.UTF-8", "Germany", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedVariable all("LC_ALL", c.locale), messages("LC_MESSAGES", std::nullopt), lang("LANG", std::nullopt);
        ScopedVariable configured(kCountryVariable, c.configured);
        OSInfoParams params;
        const auto error = OSInfo::RetrieveOSInfo(&params, ReleaseFile());
        if (c.country == nullptr) {
            EXPECT_TRUE(error);
            EXPECT_EQ(params.countryCode, nullptr);
        } else {
            ASSERT_FALSE(error) << error.what();
            EXPECT_STREQ(params.countryCode, c.country);
        }
        FreeTexts(params);
    }
}

TEST_F(OSInfoTest, MissingOsReleaseOrRecordIsAnError) {
    ScopedVariable configured(kCountryVariable, "US");
    OSInfoParams params;
    EXPECT_TRUE(OSInfo::RetrieveOSInfo(&params, scratch() / "missing"));
    EXPECT_EQ(params.name, nullptr);
    EXPECT_TRUE(OSInfo::RetrieveOSInfo(nullptr, ReleaseFile()));
}

}  // namespace
}  // namespace zelko::shared::os
