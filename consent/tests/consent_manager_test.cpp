#include "consent/consent_manager.h"

#include <gtest/gtest.h>

#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using platform::RegistryHive;
using platform::RegistryKey;
using platform::RegistryValue;

class ConsentRegistryTest : public zelko::testing::SystemRootTest {
  protected:
    static constexpr const char* kKey = "SOFTWARE\\Policies\\Zelko\\Consent";
    zelko::testing::LogCapture log_;
};

TEST_F(ConsentRegistryTest, ReadsEachTypeAsText) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(RegistryHive::LocalMachine, kKey, key), 0u);
    key.SetDwordValue("Max", 4294967295u);
    key.SetValue("Bytes", RegistryValue::Binary(std::string("a\0b", 3)));
    key.SetValue("Multi", RegistryValue{platform::kRegMultiSz, std::string("x\0\0", 3)});
    EXPECT_EQ(ConsentManager::ReadRegistrySubKey(RegistryHive::LocalMachine, kKey, "Max"), "4294967295");
    EXPECT_EQ(ConsentManager::ReadRegistrySubKey(RegistryHive::LocalMachine, kKey, "Bytes"),
              std::string("a\0b", 3));
    EXPECT_EQ(ConsentManager::ReadRegistrySubKey(RegistryHive::LocalMachine, kKey, "Multi"), "");
    EXPECT_TRUE(log_.Contains(logging::error, "Consent bridge module unsupported registry type: 7"));
}

TEST_F(ConsentRegistryTest, WriteCreatesTheKeyAndReadsBackTheSameText) {
    const std::string text =
        "Gr\xc3\xbc\xc3\x9f"
        "e, 42 \\ \"quoted\"";
    EXPECT_EQ(ConsentManager::WriteRegistrySubKey(RegistryHive::LocalMachine, kKey, "CountryCode", text), 0);
    EXPECT_EQ(ConsentManager::ReadRegistrySubKey(RegistryHive::LocalMachine, kKey, "CountryCode"), text);
    EXPECT_EQ(ConsentManager::ReadRegistrySubKey(RegistryHive::CurrentUser, kKey, "CountryCode"), "");
}

TEST_F(ConsentRegistryTest, FailuresReadAsEmptyAndAreLogged) {
    EXPECT_EQ(ConsentManager::ReadRegistrySubKey(RegistryHive::LocalMachine, "SOFTWARE\\Missing", "V"), "");
    EXPECT_TRUE(
        log_.Contains(logging::error,
                      "Failed to RegOpenKeyExA keyTop key SOFTWARE\\Missing subKey V: The system cannot "
                      "find the file specified."));
    ASSERT_EQ(ConsentManager::WriteRegistrySubKey(RegistryHive::LocalMachine, kKey, "A", "1"), 0);
    EXPECT_EQ(ConsentManager::ReadRegistrySubKey(RegistryHive::LocalMachine, kKey, "B"), "");
    EXPECT_TRUE(
        log_.Contains(logging::error, "Failed to RegQueryValueExA key " + std::string(kKey) + " subKey B: "));

    EXPECT_NE(ConsentManager::WriteRegistrySubKey(RegistryHive::LocalMachine, "SOFTWARE\\..\\x", "A", "1"),
              0);
    EXPECT_TRUE(
        log_.Contains(logging::error,
                      "Consent Module: failed to Write the value: 1 to the subkey : A with an error code: "));
}

}  // namespace
}  // namespace zelko::plenar::agent
