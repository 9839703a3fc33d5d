#include "outside/device_info/device_info.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::shared::device {
namespace {

class DeviceInfoTest : public testing::SystemRootTest {
  protected:
    std::filesystem::path Dmi() const { return scratch() / "dmi"; }
    std::filesystem::path Identity() const { return scratch() / "identity.json"; }

    void SetUp() override {
        SystemRootTest::SetUp();
        std::filesystem::create_directories(Dmi());
        Write(Dmi() / "sys_vendor", "Zelko Inc.\n");
        Write(Dmi() / "product_name", "Plenar 14\n");
        Write(Dmi() / "product_family", "Plenar\n");
        Write(Dmi() / "chassis_type", "10\n");
    }
    static void Write(const std::filesystem::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }
};

TEST_F(DeviceInfoTest, ReadsFirmwareValuesAndUnreadableOnesAreEmpty) {
    std::filesystem::create_directories(Dmi() / "product_serial");  // a folder cannot be read as a value
    DeviceInfo info(Dmi(), Identity());
    EXPECT_STREQ(info.GetManufacturer(), "Zelko Inc.");
    EXPECT_STREQ(info.GetModel(), "Plenar 14");
    EXPECT_STREQ(info.GetFamily(), "Plenar");
    EXPECT_STREQ(info.GetFamilyFullName(), "Zelko Inc. Plenar");
    EXPECT_EQ(info.GetDeviceType(), 10);
    EXPECT_STREQ(info.GetDeviceTypeName(), "Notebook");
    EXPECT_STREQ(info.GetSerialNumber(), "");  // a folder
    EXPECT_STREQ(info.GetSystemUuid(), "");    // missing
    EXPECT_STREQ(info.GetBiosVersion(), "");
    // No maker file: no maker-specific object and no product id.
    EXPECT_EQ(info.GetZelkoSpecificInfo(), nullptr);
    EXPECT_EQ(info.GetProductId(), nullptr);
    EXPECT_STRNE(info.GetDeviceSNRId(), "");
}

TEST_F(DeviceInfoTest, SnrIdIsTheSameInEveryInstanceAndProcess) {
    const std::string first = DeviceInfo(Dmi(), Identity()).GetDeviceSNRId();
    EXPECT_EQ(DeviceInfo(Dmi(), Identity()).GetDeviceSNRId(), first);
    // The default instance (real firmware folder, identity under the system root) agrees with itself.
    const std::string real = DeviceInfo().GetDeviceSNRId();
    EXPECT_EQ(DeviceInfo().GetDeviceSNRId(), real);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string id = DeviceInfo().GetDeviceSNRId();
        const ssize_t written = write(pipeFds[1], id.data(), id.size());
        _exit(written == static_cast<ssize_t>(id.size()) ? 0 : 1);
    }
    close(pipeFds[1]);
    char buffer[256] = {0};
    const ssize_t got = read(pipeFds[0], buffer, sizeof buffer - 1);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_GT(got, 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), real);
}

TEST_F(DeviceInfoTest, MakerFileGivesIdentityFeatureBytesAndProductId) {
    Write(Identity(), R"({"SNRId":"SNR-0001","ProductId":"8A22#ABD","FeatureBytes":"aabb.x1","DeviceType":3,
                          "BornOnDate":"20240115","BuildID":"B1","RegionShipped":"EU","ManufactureDate":"2024-01-10"})");
    DeviceInfo info(Dmi(), Identity());
    EXPECT_STREQ(info.GetDeviceSNRId(), "SNR-0001");
    ASSERT_NE(info.GetProductId(), nullptr);
    EXPECT_STREQ(info.GetProductId(), "8A22#ABD");
    const IZelkoSpecificInfo* specific = info.GetZelkoSpecificInfo();
    ASSERT_NE(specific, nullptr);
    EXPECT_FALSE(specific->GetError());
    EXPECT_STREQ(specific->GetBuildID(), "B1");
    EXPECT_STREQ(specific->GetRegionShipped(), "EU");
    EXPECT_STREQ(specific->GetMarketSegment(), "");
    ASSERT_NE(specific->GetBornOnDate(), nullptr);
    EXPECT_STREQ(specific->GetBornOnDate()->GetDate(), "20240115");
    ASSERT_NE(specific->GetFeatureBytes(), nullptr);
    EXPECT_STREQ(specific->GetFeatureBytes()->GetRawBytes(), "aabb.x1");
    EXPECT_EQ(specific->GetFeatureBytes()->GetDeviceType(), 3);
}

TEST_F(DeviceInfoTest, DamagedMakerFileIsTreatedAsMissingAndLogged) {
    const std::string derived = DeviceInfo(Dmi(), Identity()).GetDeviceSNRId();
    struct Case {
        const char* name;
        std::string content;
    };
    const std::vector<Case> cases = {
        {"empty", ""},
        {"cut", R"({"SNRId":"SNR-1","Feature)"},
        {"not JSON", "SNRId=SNR-1"},
        {"wrong shape", R"(["SNRId","SNR-1"])"},
        {"huge", "{\"SNRId\":\"" + std::string(200000, 'x') + "\"}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Write(Identity(), c.content);
        testing::LogCapture log;
        DeviceInfo info(Dmi(), Identity());
        EXPECT_EQ(info.GetZelkoSpecificInfo(), nullptr);
        EXPECT_EQ(info.GetProductId(), nullptr);
        EXPECT_EQ(std::string(info.GetDeviceSNRId()), derived);
        EXPECT_TRUE(log.Contains(logging::warning, Identity().string()));
    }
    // Wrong types: that member counts as missing, the rest is used.
    Write(Identity(), R"({"SNRId":17,"ProductId":"P1","FeatureBytes":["aa"]})");
    testing::LogCapture log;
    DeviceInfo info(Dmi(), Identity());
    EXPECT_EQ(std::string(info.GetDeviceSNRId()), derived);
    EXPECT_STREQ(info.GetProductId(), "P1");
    ASSERT_NE(info.GetZelkoSpecificInfo(), nullptr);
    EXPECT_EQ(info.GetZelkoSpecificInfo()->GetFeatureBytes(), nullptr);
    EXPECT_TRUE(log.Contains(logging::warning, "\"SNRId\""));
}

}  // namespace
}  // namespace zelko::shared::device
