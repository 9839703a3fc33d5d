#include "features/uwp_package_manager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "platform/packages.h"
#include "platform/sessions.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using platform::FakeSession;
using platform::SessionState;
using zelko::testing::LogCapture;

FakeSession Session(uint32_t id, SessionState state, std::optional<uint32_t> user_id = 1000) {
    return FakeSession{id, state, 0, "user", user_id};
}

class UWPPackageManagerTest : public zelko::testing::SystemRootTest {
  protected:
    void WriteCatalogue(const std::string& text) {
        std::filesystem::create_directories(platform::PackageCatalogPath().parent_path());
        std::ofstream(platform::PackageCatalogPath(), std::ios::binary) << text;
    }
};

TEST_F(UWPPackageManagerTest, LoggedOnUserIsTheFirstActiveSessionWithAToken) {
    struct Case {
        const char* what;
        std::vector<FakeSession> sessions;
        bool enumerate_fails;
        std::string sid;
        const char* error_line;  // nullptr: none
    } cases[] = {
        {"no sessions", {}, false, "", nullptr},
        {"enumeration fails",
         {Session(1, SessionState::Active)},
         true,
         "",
         "GetCurrentLoggedOnUserSID - WTSEnumerateSessions Error: "},
        {"only inactive sessions",
         {Session(1, SessionState::Disconnected), Session(2, SessionState::Connected),
          Session(3, SessionState::Idle)},
         false,
         "",
         nullptr},
        {"active without a token",
         {Session(1, SessionState::Active, std::nullopt)},
         false,
         "",
         "GetCurrentLoggedOnUserSID - WTSQueryUserToken Error: 1008"},
        {"two active: the first listed",
         {Session(7, SessionState::Active, 1002), Session(3, SessionState::Active, 1001)},
         false,
         "S-1-22-1-1002",
         nullptr},
        {"skips inactive and tokenless sessions",
         {Session(1, SessionState::Disconnected, 1), Session(2, SessionState::Active, std::nullopt),
          Session(3, SessionState::Active, 0)},
         false,
         "S-1-22-1-0",
         "WTSQueryUserToken Error: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::ScopedFakeSessions sessions(c.sessions, c.enumerate_fails);
        LogCapture log;
        EXPECT_EQ(UWPPackageManager::GetCurrentLoggedOnUserSID(), c.sid);
        if (c.error_line) {
            EXPECT_TRUE(log.Contains(logging::error, c.error_line));
        } else {
            EXPECT_EQ(log.Count(logging::error, ""), 0);
        }
        if (c.sid.empty()) {
            EXPECT_THROW(UWPPackageManager::IsPackageInstalledForCurrentUser("pub", "name"),
                         std::runtime_error);
            EXPECT_TRUE(log.Contains(logging::error,
                                     "IsPackageInstalledForCurrentUser Unable to obtain SID for the "
                                     "logged on user."));
        }
    }
}

TEST_F(UWPPackageManagerTest, PackageMatchesExactNameAndPublisher) {
    platform::ScopedFakeSessions sessions({Session(1, SessionState::Active)});
    WriteCatalogue(R"({
        "S-1-22-1-1000": [
            {"Name": "Zelko.AIExperience", "PublisherId": "other"},
            {"Name": "zelko.aiexperience", "PublisherId": "pub1"},
            {"Name": "Zelko.Later", "PublisherId": "pub1"},
            {"Name": "Zelko.Later", "PublisherId": "pub2"}
        ],
        "S-1-22-1-1001": [{"Name": "Zelko.Elsewhere", "PublisherId": "pub1"}]
    })");
    struct Case {
        const char* publisher;
        const char* name;
        bool installed;
    } cases[] = {
        {"pub1", "Zelko.AIExperience", false},  // right name, other publisher; lower-case name differs
        {"other", "Zelko.AIExperience", true}, {"pub2", "Zelko.Later", true},  // a later package matches both
        {"PUB2", "Zelko.Later", false},        {"pub1", "Zelko.Elsewhere", false},  // another user's package
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        EXPECT_EQ(UWPPackageManager::IsPackageInstalledForCurrentUser(c.publisher, c.name), c.installed);
        EXPECT_TRUE(log.Contains(
            logging::debug, "Determine if Zelko AI Experience app is installed for SID S-1-22-1-1000 ..."));
        EXPECT_TRUE(log.Contains(logging::debug, std::string("Application: ") + c.name +
                                                     " Publisher : " + c.publisher +
                                                     (c.installed ? " is installed" : " is NOT installed") +
                                                     " for SID: S-1-22-1-1000"));
    }
}

// A catalogue that cannot be read gives no answer (an error naming it) unless the package is found
// in what could be read: "not installed" could start a false uninstall or install.
TEST_F(UWPPackageManagerTest, DamagedCatalogueIsAnErrorUnlessThePackageIsFound) {
    platform::ScopedFakeSessions sessions({Session(1, SessionState::Active)});
    const std::string good = R"({"Name": "App", "PublisherId": "pub"})";
    struct Case {
        std::string text;
        bool installed;  // false: an error
    } cases[] = {
        {"", false},
        {R"({"S-1-22-1-1000": [)" + good, false},
        {"not json", false},
        {R"(["S-1-22-1-1000"])", false},
        {R"({"S-1-22-1-1000": {"Name": "App"}})", false},
        {R"({"S-1-22-1-1000": [{"Name": 1, "PublisherId": "pub"}, "x", null, )" + good + "]}", true},
        {R"({"S-1-22-1-1000": [{"Name": "App"}]})", false},
        {std::string(5u << 20, ' '), false},
    };
    const std::string named = "Installed packages catalogue: " + platform::PackageCatalogPath().string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        WriteCatalogue(c.text);
        LogCapture log;
        if (c.installed) {
            EXPECT_TRUE(UWPPackageManager::IsPackageInstalledForCurrentUser("pub", "App"));
        } else {
            try {
                UWPPackageManager::IsPackageInstalledForCurrentUser("pub", "App");
                ADD_FAILURE() << "no error";
            } catch (const std::runtime_error& e) {
                EXPECT_NE(std::string(e.what()).find(named), std::string::npos) << e.what();
            }
        }
        EXPECT_TRUE(log.Contains(logging::warning, named));
    }
    // No catalogue at all: nothing is installed, and that is no damage.
    std::filesystem::remove(platform::PackageCatalogPath());
    LogCapture log;
    EXPECT_FALSE(UWPPackageManager::IsPackageInstalledForCurrentUser("pub", "App"));
    EXPECT_EQ(log.Count(logging::warning, ""), 0);
    // A readable catalogue that lists another user or another package answers "not installed".
    WriteCatalogue(R"({"S-1-22-1-1000": [{"Name": "Other", "PublisherId": "pub"}], "S-1-22-1-7": []})");
    EXPECT_FALSE(UWPPackageManager::IsPackageInstalledForCurrentUser("pub", "App"));
}

}  // namespace
}  // namespace zelko::plenar::agent
