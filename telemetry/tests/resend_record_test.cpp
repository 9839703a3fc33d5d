#include <fstream>

#include "collector_test_support.h"
#include "platform/clock.h"
#include "testing/scoped_time_zone.h"

namespace zelko::plenar::agent::test {
namespace {

using ::testing::HasSubstr;
using zelko::testing::LogCapture;

// 2024-03-05 13:07:09.007 UTC.
constexpr int64_t kSeven = 17'096'440'290'070'000LL;

class ResendRecordTest : public zelko::testing::SystemRootTest {
  protected:
    json Record(int n) const {
        return MakeResendRecord("pub", "p", "1.0.0", kGun, {{"n", n}}, kSeven - platform::kTicksPerSecond,
                                kSeven, 210);
    }
    std::shared_ptr<crypto::Cryptography> crypto_ = std::make_shared<crypto::Cryptography>(kDeviceId);
    zelko::testing::ScopedTimeZone zone_{"CET-1"};
};

TEST_F(ResendRecordTest, FirstSaveCreatesTheFolderAndWritesAnEncryptedRecordNamedByLocalTime) {
    platform::ScopedFakeClock clock(kSeven);
    LogCapture log;
    ASSERT_FALSE(fs::exists(ResendFolder().parent_path()));
    Collector::SaveForResend(Record(1), "p", "1.0.0", crypto_);

    const fs::path file = ResendFolder() / "resend_2024-03-05_14-07-09-007.rsnd";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(std::distance(fs::directory_iterator(ResendFolder()), fs::directory_iterator()), 1);
    const json stored = Utils::LoadEncryptedJsonFile(file, crypto::Cryptography(kDeviceId));
    EXPECT_EQ(stored, Record(1));
    EXPECT_EQ(stored["time"], "2024-03-05 13:07:09.0070000");
    EXPECT_EQ(stored["last_data_valve"], "2024-03-05 13:07:08.0070000");
    EXPECT_TRUE(log.Contains(
        logging::info,
        "Collector's data saved for resend for plugin p version 1.0.0 the file " + file.string()));
    EXPECT_THROW(Utils::LoadEncryptedJsonFile(file, crypto::Cryptography("another device")), std::exception);
}

TEST_F(ResendRecordTest, SavesWithinOneMillisecondAreAllKeptInOrder) {
    platform::ScopedFakeClock clock(kSeven);
    for (int n = 0; n < 3; ++n) Collector::SaveForResend(Record(n), "p", "1.0.0", crypto_);
    clock.Advance(platform::kTicksPerMillisecond);
    Collector::SaveForResend(Record(3), "p", "1.0.0", crypto_);

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(ResendFolder())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names, (std::vector<std::string>{
                         "resend_2024-03-05_14-07-09-007.rsnd", "resend_2024-03-05_14-07-09-007_1.rsnd",
                         "resend_2024-03-05_14-07-09-007_2.rsnd", "resend_2024-03-05_14-07-09-008.rsnd"}));
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(Utils::LoadEncryptedJsonFile(ResendFolder() / names[n], *crypto_)["data"]["n"], n);
    }
}

TEST_F(ResendRecordTest, StorageCapRefusesASaveOnlyAboveOneHundredMillionBytes) {
    platform::ScopedFakeClock clock(kSeven);
    fs::create_directories(ResendFolder());
    const fs::path filler = ResendFolder() / "filler";
    std::ofstream(filler).close();
    fs::resize_file(filler, kResendFolderCap);  // sparse: no disk space taken
    LogCapture log;
    Collector::SaveForResend(Record(1), "p", "1.0.0", crypto_);
    EXPECT_TRUE(fs::exists(ResendFolder() / "resend_2024-03-05_14-07-09-007.rsnd"));

    fs::remove(ResendFolder() / "resend_2024-03-05_14-07-09-007.rsnd");
    fs::resize_file(filler, kResendFolderCap + 1);
    Collector::SaveForResend(Record(2), "p", "1.0.0", crypto_);
    EXPECT_FALSE(fs::exists(ResendFolder() / "resend_2024-03-05_14-07-09-007.rsnd"));
    EXPECT_TRUE(log.Contains(
        logging::warning,
        "Collector SaveJsonFile failed with storage overflow for plugin p version 1.0.0 saving the "
        "file \"" +
            (ResendFolder() / "resend_2024-03-05_14-07-09-007.rsnd").string() + "\""));
}

TEST_F(ResendRecordTest, AFolderThatCannotBeMadeIsLoggedAndNothingRaises) {
    platform::ScopedFakeClock clock(kSeven);
    fs::create_directories(ResendFolder().parent_path());
    std::ofstream(ResendFolder()) << "a file where the folder belongs";
    LogCapture log;
    EXPECT_NO_THROW(Collector::SaveForResend(Record(1), "p", "1.0.0", crypto_));
    EXPECT_TRUE(log.Contains(logging::warning,
                             "Collector SaveJsonFile failed with exception for plugin p version 1.0.0 "
                             "saving the file \"" +
                                 (ResendFolder() / "resend_2024-03-05_14-07-09-007.rsnd").string() + "\" "));
    EXPECT_NO_THROW(Collector::SaveForResend(Record(1), "p", "1.0.0", nullptr));
}

TEST_F(ResendRecordTest, DamagedRecordsAreRemovedAndTheNextFileIsRead) {
    fs::create_directories(ResendFolder());
    const crypto::Cryptography& crypto = *crypto_;
    auto encrypted = [&](const json& document) {
        return [=](const fs::path& path) { Utils::SaveEncryptedJsonFile(path, document, crypto); };
    };
    auto raw = [](std::string bytes) {
        return [=](const fs::path& path) { std::ofstream(path, std::ios::binary) << bytes; };
    };
    json no_collector = Record(1);
    no_collector.erase("collector");
    json wrong_collector = Record(1);
    wrong_collector["collector"] = 5;
    json no_data = Record(1);
    no_data.erase("data");
    json bad_time = Record(1);
    bad_time["time"] = "yesterday";
    json no_reason = Record(1);
    no_reason.erase("reason");
    json text_event = Record(1);
    text_event["event_type"] = "210";
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> write;
    } cases[] = {
        {"empty", raw("")},
        {"cut",
         [&](const fs::path& path) {
             encrypted(Record(1))(path);
             fs::resize_file(path, fs::file_size(path) - 5);
         }},
        {"not encrypted", raw(Record(1).dump())},
        {"encrypted but not compressed",
         [&](const fs::path& path) {
             const auto bytes = crypto.Encrypt("{\"collector\":\"p\"}");
             std::ofstream(path, std::ios::binary)
                 .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
         }},
        {"huge garbage", raw(std::string(1 << 20, '\x5a'))},
        {"not an object", encrypted(json::array({Record(1)}))},
        {"no collector", encrypted(no_collector)},
        {"collector not a text", encrypted(wrong_collector)},
        {"no data", encrypted(no_data)},
        {"time without its fraction", encrypted(bad_time)},
        {"times without a reason", encrypted(no_reason)},
        {"event type not a number", encrypted(text_event)},
    };
    LogCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path path = ResendFolder() / "resend_damaged.rsnd";
        c.write(path);
        EXPECT_FALSE(LoadResendRecord(path, crypto).has_value());
        EXPECT_FALSE(fs::exists(path));
        EXPECT_TRUE(log.Contains(logging::warning, "Corrupted file removed " + path.string()));
    }

    // Records without the three optional members skip the freshness rules; they are whole.
    json without_times = Record(2);
    without_times.erase("time");
    for (const json& record : {Record(2), without_times}) {
        const fs::path path = ResendFolder() / "resend_good.rsnd";
        Utils::SaveEncryptedJsonFile(path, record, crypto);
        EXPECT_EQ(LoadResendRecord(path, crypto), record);
        EXPECT_TRUE(fs::exists(path));
    }
}

}  // namespace
}  // namespace zelko::plenar::agent::test
