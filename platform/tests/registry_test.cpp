#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/paths.h"
#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

using testing::SystemRootTest;
constexpr auto HKLM = RegistryHive::LocalMachine;

class RegistryTest : public SystemRootTest {
  protected:
    RegistryKey CreateKey(const std::string& path) {
        RegistryKey key;
        EXPECT_EQ(RegistryKey::Create(HKLM, path, key), kErrorSuccess);
        return key;
    }

    std::optional<std::string> ReadText(const std::string& path, const std::string& name) {
        RegistryKey key;
        if (RegistryKey::Open(HKLM, path, key) != kErrorSuccess) return std::nullopt;
        RegistryValue value;
        if (key.QueryValue(name, value) != kErrorSuccess) return std::nullopt;
        return RegistryValueText(value);
    }
};

TEST_F(RegistryTest, ValuesReadBackAsTextByType) {
    ::setenv("ZELKO_TEST_VAR", "expanded", 1);
    struct Case {
        const char* name;
        RegistryValue value;
        std::optional<std::string> text;
    } cases[] = {
        {"Text", RegistryValue::String("plain text"), "plain text"},
        {"CutAtNul", RegistryValue::String(std::string("ab\0cd", 5)), "ab"},
        {"Max", RegistryValue::Dword(4294967295u), "4294967295"},
        {"Zero", RegistryValue::Dword(0), "0"},
        {"Bytes", RegistryValue::Binary(std::string("a\0b", 3)), std::string("a\0b", 3)},
        {"NotUtf8", RegistryValue::String("\xff\xfe"), "\xff\xfe"},
        {"Expand", RegistryValue{kRegExpandSz, "%zelko_test_var%\\x"}, "expanded\\x"},
        {"Multi", RegistryValue{kRegMultiSz, std::string("a\0b\0\0", 5)}, std::nullopt},
        {"Quad", RegistryValue{kRegQword, std::string(8, '\1')}, std::nullopt},
    };
    RegistryKey key = CreateKey("SOFTWARE\\Zelko\\Values");
    for (const auto& c : cases) ASSERT_EQ(key.SetValue(c.name, c.value), kErrorSuccess) << c.name;
    for (const auto& c : cases) {
        RegistryKey reopened;
        ASSERT_EQ(RegistryKey::Open(HKLM, "SOFTWARE\\Zelko\\Values", reopened), kErrorSuccess);
        RegistryValue value;
        ASSERT_EQ(reopened.QueryValue(c.name, value), kErrorSuccess) << c.name;
        EXPECT_EQ(value.type, c.value.type) << c.name;
        EXPECT_EQ(RegistryValueText(value), c.text) << c.name;
    }
}

TEST_F(RegistryTest, KeysAndValueNamesIgnoreCase) {
    RegistryKey key = CreateKey("SOFTWARE\\Policies\\Zelko");
    ASSERT_EQ(key.SetStringValue("CountryCode", "DE"), kErrorSuccess);
    EXPECT_EQ(ReadText("software\\POLICIES\\zelko", "countrycode"), "DE");
    // Writing under another case replaces the one value instead of adding a second.
    RegistryKey other = CreateKey("Software\\policies\\ZELKO\\");
    ASSERT_EQ(other.SetStringValue("COUNTRYCODE", "FR"), kErrorSuccess);
    EXPECT_EQ(ReadText("SOFTWARE\\Policies\\Zelko", "CountryCode"), "FR");
    auto values = nlohmann::json::parse(std::ifstream(key.Folder() / "values.json"));
    EXPECT_EQ(values.size(), 1u);
}

TEST_F(RegistryTest, MissingDeletedAndInvalidKeys) {
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Open(HKLM, "SOFTWARE\\Missing", key), kErrorFileNotFound);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(RegistryKey::Create(HKLM, "SOFTWARE\\..\\..\\etc", key), kErrorInvalidParameter);
    EXPECT_EQ(RegistryKey::Create(HKLM, "SOFTWARE\\a/b", key), kErrorInvalidParameter);

    RegistryKey created = CreateKey("SOFTWARE\\Gone\\Sub");
    ASSERT_EQ(created.SetDwordValue("V", 1), kErrorSuccess);
    RegistryValue value;
    EXPECT_EQ(created.QueryValue("Other", value), kErrorFileNotFound);
    EXPECT_EQ(created.DeleteValue("v"), kErrorSuccess);
    EXPECT_EQ(created.QueryValue("V", value), kErrorFileNotFound);
    EXPECT_EQ(created.DeleteValue("V"), kErrorFileNotFound);

    EXPECT_EQ(RegistryKey::DeleteTree(HKLM, "SOFTWARE\\gone"), kErrorSuccess);
    EXPECT_EQ(created.QueryValue("V", value), kErrorKeyDeleted);
    EXPECT_EQ(created.SetDwordValue("V", 1), kErrorKeyDeleted);
    EXPECT_EQ(RegistryKey::DeleteTree(HKLM, "SOFTWARE\\Gone"), kErrorFileNotFound);
}

TEST(RegistryStatusTest, EveryStatusTheCallsAnswerHasASystemText) {
    // Callers log these through the system's message table; a status without a text logs as unknown.
    for (uint32_t status :
         {kErrorFileNotFound, kErrorAccessDenied, kErrorInvalidHandle, kErrorNotEnoughMemory,
          kErrorInvalidParameter, kErrorCantRead, kErrorCantWrite, kErrorKeyDeleted}) {
        EXPECT_FALSE(FormatSystemMessage(status).empty()) << status;
    }
}

TEST_F(RegistryTest, DamagedValuesFileReadsAsEmptyIsReportedAndIsRepairedByTheNextWrite) {
    std::vector<std::string> reports;
    SetDiagnosticSink([&](const std::string& text) { reports.push_back(text); });
    struct Case {
        const char* what;
        std::function<void(const std::filesystem::path&)> damage;
        bool repairable;
    };
    auto text = [](std::string content) {
        return [content](const std::filesystem::path& file) { std::ofstream(file) << content; };
    };
    const std::vector<Case> cases = {
        {"empty", text(""), true},
        {"cut", text("{\"half\": "), true},
        {"not JSON", text("registry"), true},
        {"an array", text("[1, 2]"), true},
        {"a folder", [](const std::filesystem::path& file) { std::filesystem::create_directories(file / "x"); },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reports.clear();
        const std::string path = std::string("SOFTWARE\\Damaged\\") + c.what;
        RegistryKey key = CreateKey(path);
        c.damage(key.Folder() / "values.json");
        RegistryValue value;
        EXPECT_EQ(key.QueryValue("half", value), kErrorFileNotFound);
        ASSERT_FALSE(reports.empty());
        EXPECT_NE(reports[0].find((key.Folder() / "values.json").string()), std::string::npos) << reports[0];
        if (c.repairable) {
            ASSERT_EQ(key.SetStringValue("whole", "yes"), kErrorSuccess);
            EXPECT_EQ(ReadText(path, "whole"), "yes");
        } else {
            EXPECT_NE(key.SetStringValue("whole", "yes"), kErrorSuccess);
        }
    }
    SetDiagnosticSink(nullptr);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNoValue) {
    RegistryKey key = CreateKey("SOFTWARE\\Busy");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            RegistryKey own;
            RegistryKey::Open(HKLM, "SOFTWARE\\Busy", own);
            for (int i = 0; i < 25; ++i)
                own.SetDwordValue("v" + std::to_string(t) + "_" + std::to_string(i), i);
        });
    }
    for (auto& writer : writers) writer.join();
    auto values = nlohmann::json::parse(std::ifstream(key.Folder() / "values.json"));
    EXPECT_EQ(values.size(), 100u);
    // Every write went through a renamed temporary file; none is left behind.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(key.Folder()))
        files += entry.is_regular_file();
    EXPECT_EQ(files, 1);
}

class RegistryNotificationTest : public RegistryTest {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        key_ = CreateKey("SOFTWARE\\Policies\\Zelko\\Consent");
        notification_ = RegistryChangeNotification::Create();
        stop_ = Event::Create(false, false);
        ASSERT_NE(notification_, nullptr);
        ASSERT_EQ(notification_->Register(key_, true, kRegNotifyChangeLastSet), kErrorSuccess);
    }

    uint32_t Wait(uint32_t timeout_ms) {
        return WaitForMultipleObjects({notification_.get(), stop_.get()}, timeout_ms);
    }

    RegistryKey key_;
    std::unique_ptr<RegistryChangeNotification> notification_;
    std::unique_ptr<Event> stop_;
};

TEST_F(RegistryNotificationTest, ValueChangesInTheSubtreeSignalOnce) {
    EXPECT_EQ(Wait(0), kWaitTimeout);
    ASSERT_EQ(key_.SetStringValue("A", "1"), kErrorSuccess);
    EXPECT_EQ(Wait(5000), kWaitObject0);
    EXPECT_EQ(Wait(0), kWaitTimeout);

    // A subkey created after the registration is watched as well.
    RegistryKey sub = CreateKey("SOFTWARE\\Policies\\Zelko\\Consent\\Deep\\Deeper");
    ASSERT_EQ(sub.SetDwordValue("B", 2), kErrorSuccess);
    EXPECT_EQ(Wait(5000), kWaitObject0);
    ASSERT_EQ(notification_->Register(key_, true, kRegNotifyChangeLastSet), kErrorSuccess);
    EXPECT_EQ(Wait(0), kWaitTimeout);
    ASSERT_EQ(sub.SetDwordValue("B", 3), kErrorSuccess);
    EXPECT_EQ(Wait(5000), kWaitObject0);

    // A key outside the watched one does not count.
    CreateKey("SOFTWARE\\Policies\\Zelko\\Other").SetDwordValue("C", 1);
    EXPECT_EQ(Wait(50), kWaitTimeout);
    stop_->Set();
    EXPECT_EQ(Wait(kInfinite), kWaitObject0 + 1);
}

TEST_F(RegistryNotificationTest, AChangeByAnotherProcessIsSeen) {
    std::string folder = key_.Folder().string();
    std::string command = "cd '" + folder +
                          "' && printf '{\"Flag\":{\"type\":4,\"data\":7}}' > values.json.tmp && "
                          "mv values.json.tmp values.json";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(Wait(5000), kWaitObject0);
    EXPECT_EQ(ReadText("SOFTWARE\\Policies\\Zelko\\Consent", "flag"), "7");
}

TEST_F(RegistryNotificationTest, DeletingTheKeySignalsAndLaterRegistrationsFail) {
    ASSERT_EQ(RegistryKey::DeleteTree(HKLM, "SOFTWARE\\Policies\\Zelko\\Consent"), kErrorSuccess);
    EXPECT_EQ(Wait(5000), kWaitObject0);
    EXPECT_EQ(notification_->Register(key_, true, kRegNotifyChangeLastSet), kErrorKeyDeleted);
    // Even once a key of that name exists again: the registration was for the deleted one.
    CreateKey("SOFTWARE\\Policies\\Zelko\\Consent");
    EXPECT_EQ(notification_->Register(key_, true, kRegNotifyChangeLastSet), kErrorKeyDeleted);
}

TEST_F(RegistryTest, SeveralValuesSetInOneCall) {
    RegistryKey key = CreateKey("SOFTWARE\\Zelko\\Batch");
    ASSERT_EQ(key.SetStringValue("Kept", "k"), kErrorSuccess);
    ASSERT_EQ(key.SetStringValue("Replaced", "old"), kErrorSuccess);
    ASSERT_EQ(key.SetValues({{"REPLACED", RegistryValue::String("new")},
                             {"Added", RegistryValue::Dword(7)},
                             {"Twice", RegistryValue::String("first")},
                             {"twice", RegistryValue::String("last")}}),
              kErrorSuccess);
    EXPECT_EQ(ReadText("SOFTWARE\\Zelko\\Batch", "Kept"), "k");
    EXPECT_EQ(ReadText("SOFTWARE\\Zelko\\Batch", "Replaced"), "new");
    EXPECT_EQ(ReadText("SOFTWARE\\Zelko\\Batch", "Added"), "7");
    EXPECT_EQ(ReadText("SOFTWARE\\Zelko\\Batch", "Twice"), "last");

    ASSERT_EQ(RegistryKey::DeleteTree(HKLM, "SOFTWARE\\Zelko\\Batch"), kErrorSuccess);
    EXPECT_EQ(key.SetValues({{"Late", RegistryValue::String("x")}}), kErrorKeyDeleted);
    EXPECT_EQ(ReadText("SOFTWARE\\Zelko\\Batch", "Late"), std::nullopt);
}

}  // namespace
}  // namespace zelko::platform
