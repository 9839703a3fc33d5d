#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <optional>

#include "features/feature_finder.h"
#include "features/virtual_device_info.h"
#include "foundation/string_list.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using zelko::testing::LogCapture;
using Names = std::vector<std::string>;
namespace device = shared::device;

// A real device whose parts may each be missing (none).
class FakeDevice : public device::IDeviceInfo,
                   public device::IZelkoSpecificInfo,
                   public device::IFeatureBytes,
                   public device::IZelkoSpecificBornOnDate {
  public:
    std::optional<std::string> product_id = "other";
    bool has_specific = true;
    bool has_feature_bytes = true;
    bool has_born_on_date = true;
    std::optional<std::string> raw_bytes;
    std::string prefix = "real";  // every real text is prefix + the operation's name
    int device_type_calls = 0;

    // IDeviceInfo
    const char* GetClientType() const override { return T("ClientType"); }
    const char* GetManufacturer() const override { return T("Manufacturer"); }
    const char* GetModel() const override { return T("Model"); }
    const char* GetSerialNumber() const override { return T("SerialNumber"); }
    const char* GetBiosVersion() const override { return T("BiosVersion"); }
    const char* GetSystemUuid() const override { return T("SystemUuid"); }
    const char* GetBaseBoardId() const override { return T("BaseBoardId"); }
    int32_t GetDeviceType() override { return ++device_type_calls, 99; }
    const char* GetDeviceTypeName() const override { return T("DeviceTypeName"); }
    const char* GetFamily() const override { return T("Family"); }
    const char* GetProductId() const override { return product_id ? product_id->c_str() : nullptr; }
    const char* GetMachineName() const override { return T("MachineName"); }
    const char* GetDeviceSNRId() const override { return T("DeviceSNRId"); }
    int32_t GetSupportedSleepStates() const override { return 99; }
    const device::IZelkoSpecificInfo* GetZelkoSpecificInfo() const override {
        return has_specific ? this : nullptr;
    }
    // IZelkoSpecificInfo
    const shared::error::Error& GetError() const override { return error_; }
    const char* GetManufactureDate() const override { return T("ManufactureDate"); }
    const device::IZelkoSpecificBornOnDate* GetBornOnDate() const override {
        return has_born_on_date ? this : nullptr;
    }
    const char* GetBuildID() const override { return T("BuildID"); }
    const device::IFeatureBytes* GetFeatureBytes() const override {
        return has_feature_bytes ? this : nullptr;
    }
    const char* GetRegionShipped() const override { return T("RegionShipped"); }
    const char* GetMarketSegment() const override { return T("MarketSegment"); }
    const char* GetProductLineCode() const override { return T("ProductLineCode"); }
    const char* GetReleaseCycle() const override { return T("ReleaseCycle"); }
    // IFeatureBytes
    const char* GetRawBytes() const override { return raw_bytes ? raw_bytes->c_str() : nullptr; }
    int32_t GetDeviceType() const override { return 98; }
    // IZelkoSpecificBornOnDate
    const char* GetDate() const override { return T("Date"); }

  private:
    const char* T(const char* name) const {
        auto& text = texts_[name];
        text = prefix + name;
        return text.c_str();
    }
    mutable std::map<std::string, std::string> texts_;
    shared::error::Error error_;
};

std::shared_ptr<FakeDevice> Device(std::optional<std::string> raw_bytes) {
    auto fake = std::make_shared<FakeDevice>();
    fake->raw_bytes = std::move(raw_bytes);
    return fake;
}

TEST(FeatureByteCodesTest, Extraction) {
    struct Case {
        const char* text;
        Names codes;
    } cases[] = {
        {"aabbcc.ddee", {"aa", "bb", "cc"}},
        {"aabbc", {"aa", "bb", "c"}},
        {".x", {}},
        {"abc.de", {"ab", "c.", "de"}},
        {"", {}},
        {"a", {"a"}},
        {"aa.", {"aa"}},
        {"aa..bb", {"aa"}},
    };
    for (const auto& c : cases) EXPECT_EQ(ExtractFeatureByteCodes(c.text), c.codes) << c.text;
}

TEST(FeatureByteSourceTest, SettingsShapes) {
    struct Case {
        const char* raw;
        const char* settings;
        Names expected;
    } cases[] = {
        {"aabb.x", "null", {"aa", "bb"}},
        {"aabb", R"({"filt": ["aa"], "add": ["zz", "aa"]})", {"zz", "aa", "bb"}},
        {"aabbcc", R"({"filt": "bb"})", {"aa", "cc"}},
        {"aabbcc", R"({"filt": {"one": "cc", "two": 1}})", {"aa", "bb"}},
        {"aabb", R"({"filt": [1, null, {"x": "aa"}]})", {"aa", "bb"}},
        {"aabb", R"({"add": "longer code"})", {"longer code", "aa", "bb"}},
        {"aabb", R"({"add": []})", {"aa", "bb"}},
        {"aabb", R"(["filt"])", {"aa", "bb"}},
        {"", R"({"add": ["zz"]})", {"zz"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.raw) + " " + c.settings);
        auto source = std::make_shared<FeatureByteSource>(Device(c.raw), nlohmann::json::parse(c.settings));
        LogCapture log;
        EXPECT_EQ(FeatureNames(source->GetFeatures()), c.expected);
        EXPECT_TRUE(
            log.Contains(logging::verbose, "FeatureByteSource::GetFeatures: " + WriteStringList(c.expected)));
    }
}

TEST(FeatureByteSourceTest, MissingPartsReportNothingAndBadAddRaises) {
    for (int missing = 0; missing < 4; ++missing) {
        auto fake = Device("aabb");
        fake->has_specific = missing != 0;
        fake->has_feature_bytes = missing != 1;
        if (missing == 2) fake->raw_bytes.reset();
        std::shared_ptr<device::IDeviceInfo> info = fake;
        if (missing == 3) info = nullptr;
        auto source = std::make_shared<FeatureByteSource>(info, nlohmann::json{{"add", {"zz"}}});
        EXPECT_TRUE(source->GetFeatures().empty()) << missing;
    }
    auto fake = Device("aabb");
    auto source = std::make_shared<FeatureByteSource>(fake, nlohmann::json::parse(R"({"add": ["zz", 5]})"));
    EXPECT_THROW(source->GetFeatures(), nlohmann::json::type_error);
    // Read at every question.
    auto reread = std::make_shared<FeatureByteSource>(fake, nullptr);
    fake->raw_bytes = "ss";
    EXPECT_EQ(FeatureNames(reread->GetFeatures()), (Names{"ss"}));
    fake->raw_bytes = "te";
    EXPECT_EQ(FeatureNames(reread->GetFeatures()), (Names{"te"}));
}

TEST(ZelkoInitiativesSourceTest, InitiativesAndFilters) {
    struct Case {
        std::optional<std::string> product;
        const char* raw;
        const char* settings;
        Names expected;
    } cases[] = {
        {"other", "ssteaa", "null", {"Corvane", "Corvane"}},
        {"other", "sste", R"({"filt": ["te"]})", {"Corvane"}},
        {"other", "sste", R"({"filt": ["Corvane"]})", {}},
        {"other", "r6ry", R"({"filt": ["DoNotCallHome"]})", {"ZelkoPlenarSubscription"}},
        {"other",
         "r6ryssr6",
         "null",
         {"ZelkoPlenarSubscription", "DoNotCallHome", "Corvane", "ZelkoPlenarSubscription"}},
        {"other", "r6", R"({"filt": "r6"})", {}},
        {"other", "aa.r6", "null", {}},
        {"tvk5g1a00us", "r6", "null", {"Tarvik500", "ZelkoPlenarSubscription"}},
        {"TVK5G2B00EU", "", "null", {"Tarvik500"}},
        {"TVK5G2B00EU", "", R"({"filt": ["Tarvik500"]})", {}},
        {"TVK5G2B00E", "", "null", {}},
        {std::nullopt, "ss", "null", {"Corvane"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.product.value_or("(none)") + " " + c.raw + " " + c.settings);
        auto fake = Device(c.raw);
        fake->product_id = c.product;
        auto source = std::make_shared<ZelkoInitiativesSource>(fake, nlohmann::json::parse(c.settings));
        LogCapture log;
        EXPECT_EQ(FeatureNames(source->GetFeatures()), c.expected);
        EXPECT_EQ(log.Contains(logging::warning, "ProductId is not available"), !c.product.has_value());
    }
}

TEST(ZelkoInitiativesSourceTest, FillsOnceAndWarnsWhileEmpty) {
    struct Case {
        const char* what;
        std::function<void(FakeDevice&)> setup;
        const char* warning;
    } cases[] = {
        {"no maker-specific information", [](FakeDevice& d) { d.has_specific = false; },
         "ZelkoSpecificInfo is not available"},
        {"no feature-byte object", [](FakeDevice& d) { d.has_feature_bytes = false; },
         "featureByte is not available"},
        {"no feature-byte text", [](FakeDevice& d) { d.raw_bytes.reset(); }, "featureBytes is not available"},
        {"no initiative", [](FakeDevice& d) { d.raw_bytes = "aabb"; }, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto fake = Device("aa");
        c.setup(*fake);
        auto source = std::make_shared<ZelkoInitiativesSource>(fake, nullptr);
        {
            LogCapture log;
            EXPECT_TRUE(source->GetFeatures().empty());
            EXPECT_TRUE(source->GetFeatures().empty());
            if (c.warning) {
                EXPECT_EQ(log.Count(logging::warning, c.warning), 2);  // asked afresh each time
            }
        }
        // Once something is found, the answer is kept whatever the device says later.
        *fake = FakeDevice();
        fake->raw_bytes = "r6";
        EXPECT_EQ(FeatureNames(source->GetFeatures()), (Names{"ZelkoPlenarSubscription"}));
        fake->raw_bytes = "ss";
        fake->has_specific = false;
        LogCapture log;
        EXPECT_EQ(FeatureNames(source->GetFeatures()), (Names{"ZelkoPlenarSubscription"}));
        EXPECT_EQ(log.Count(logging::warning, ""), 0);
    }
}

// ---- impersonation ----

std::shared_ptr<device::VirtualDeviceInfo> Virtual(const std::string& document,
                                                   std::shared_ptr<FakeDevice> real) {
    return std::make_shared<device::VirtualDeviceInfo>(nlohmann::json::parse(document), real);
}

TEST(VirtualDeviceInfoTest, FileValuesOverTheRealDevice) {
    auto real = Device("ccaabb.x1.y2");
    auto info = Virtual(R"({"DeviceInfo": {"Model": "M-1", "DeviceType": 3, "SupportedSleepStates": 8,
                                         "ZelkoSpecificInfo": {"BuildID": "B-7", "BornOnDate": {"BornOnDate": "2024-01-02"},
                                                               "FeatureByte": {"DeviceTypeName": "Laptop"}}}})",
                        real);
    real.reset();  // only copies remain
    EXPECT_STREQ(info->GetModel(), "M-1");
    EXPECT_EQ(info->GetDeviceType(), 3);
    EXPECT_EQ(info->GetSupportedSleepStates(), 8);
    EXPECT_STREQ(info->GetManufacturer(), "realManufacturer");
    EXPECT_STREQ(info->GetDeviceSNRId(), "realDeviceSNRId");
    EXPECT_STREQ(info->GetProductId(), "other");
    const auto* specific = info->GetZelkoSpecificInfo();
    ASSERT_NE(specific, nullptr);
    EXPECT_STREQ(specific->GetBuildID(), "B-7");
    EXPECT_STREQ(specific->GetReleaseCycle(), "realReleaseCycle");
    EXPECT_STREQ(specific->GetBornOnDate()->GetDate(), "2024-01-02");
    EXPECT_STREQ(specific->GetFeatureBytes()->GetRawBytes(), "aabbcc.x1");  // real text, sorted
    EXPECT_STREQ(specific->GetFeatureBytes()->GetDeviceTypeName(), "Laptop");
    EXPECT_FALSE(specific->GetError());
    EXPECT_FALSE(specific->GetFeatureBytes()->GetError());
}

TEST(VirtualDeviceInfoTest, FeatureBytesAreRebuilt) {
    struct Case {
        std::optional<std::string> file;  // nullopt: from the real device
        const char* real;
        const char* expected;
    } cases[] = {
        {"ccaabb.x1.y2", "zz", "aabbcc.x1"},
        {"abc.z", "zz", "abc.z"},
        {"ba", "zz", "ba."},
        {"", "zz", "."},
        {"aaBa", "zz", "Baaa."},
        {std::nullopt, "ttss.1", "sstt.1"},
        {"a.b.c", "zz", "a.b"},
        {"..", "zz", "."},
    };
    for (const auto& c : cases) {
        nlohmann::json document = nlohmann::json::object();
        if (c.file) document["DeviceInfo"]["ZelkoSpecificInfo"]["FeatureByte"]["RawBytes"] = *c.file;
        device::VirtualDeviceInfo info(document, Device(c.real));
        EXPECT_STREQ(info.GetZelkoSpecificInfo()->GetFeatureBytes()->GetRawBytes(), c.expected)
            << c.file.value_or("-");
    }
}

TEST(VirtualDeviceInfoTest, NumbersAreReadAtEveryCall) {
    struct Case {
        const char* value;
        std::optional<int32_t> number;  // nullopt: raises
        const char* error;
    } cases[] = {
        {"3.9", 3, nullptr},
        {"-3.9", -3, nullptr},
        {"true", 1, nullptr},
        {"false", 0, nullptr},
        {"7", 7, nullptr},
        {"\"3\"", std::nullopt, "type must be number, but is string"},
        {"null", std::nullopt, "type must be number, but is null"},
        {"[1]", std::nullopt, "type must be number, but is array"},
        {"4294967296", std::nullopt, "does not fit a 32-bit integer"},
        {"1e300", std::nullopt, "does not fit a 32-bit integer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string value = c.value;
        auto info =
            Virtual(R"({"DeviceInfo": {"DeviceType": )" + value + R"(, "SupportedSleepStates": )" + value +
                        R"(, "ZelkoSpecificInfo": {"FeatureByte": {"DeviceType": )" + value + "}}}}",
                    Device("aa"));
        const auto* bytes = info->GetZelkoSpecificInfo()->GetFeatureBytes();
        std::function<int32_t()> reads[] = {[&] { return info->GetDeviceType(); },
                                            [&] { return info->GetSupportedSleepStates(); },
                                            [&] { return bytes->GetDeviceType(); }};
        for (auto& read : reads) {
            if (c.number) {
                EXPECT_EQ(read(), *c.number);
            } else {
                try {
                    read();
                    ADD_FAILURE() << "no error";
                } catch (const std::exception& e) {
                    EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
                }
            }
        }
    }
    auto info = Virtual("{}", Device("aa"));
    EXPECT_THROW(info->GetDeviceType(), nlohmann::json::type_error);  // absent: raised at the call
    EXPECT_THROW(info->GetSupportedSleepStates(), nlohmann::json::type_error);
}

TEST(VirtualDeviceInfoTest, ContentFaultsRaiseAtConstruction) {
    struct Case {
        const char* document;
        const char* error;
    } cases[] = {
        {"null", "cannot use value() with null"},
        {"[]", "cannot use value() with array"},
        {R"({"DeviceInfo": "x"})", "cannot use value() with string"},
        {R"({"DeviceInfo": {"ZelkoSpecificInfo": 5}})", "cannot use value() with number"},
        {R"({"DeviceInfo": {"ZelkoSpecificInfo": {"BornOnDate": "2024-01-02"}}})",
         "cannot use value() with string"},
        {R"({"DeviceInfo": {"ZelkoSpecificInfo": {"FeatureByte": []}}})", "cannot use value() with array"},
        {R"({"DeviceInfo": {"Model": 5}})", "type must be string, but is number"},
        {R"({"DeviceInfo": {"DeviceSNRId": null}})", "type must be string, but is null"},
        {R"({"DeviceInfo": {"ZelkoSpecificInfo": {"FeatureByte": {"RawBytes": true}}}})",
         "type must be string, but is boolean"},
        {R"({"DeviceInfo": {"ZelkoSpecificInfo": {"ReleaseCycle": {}}}})",
         "type must be string, but is object"},
    };
    for (const auto& c : cases) {
        try {
            Virtual(c.document, Device("aa"));
            ADD_FAILURE() << c.document << ": no error";
        } catch (const nlohmann::json::type_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
                << c.document << ": " << e.what();
        }
    }
}

TEST(VirtualDeviceInfoTest, RealDeviceWithoutPartsGivesEmptyTexts) {
    auto real = Device(std::nullopt);
    real->has_specific = false;
    real->product_id.reset();
    device::VirtualDeviceInfo info(nlohmann::json::object(), real);
    EXPECT_STREQ(info.GetProductId(), "");
    EXPECT_STREQ(info.GetZelkoSpecificInfo()->GetBuildID(), "");
    EXPECT_STREQ(info.GetZelkoSpecificInfo()->GetFeatureBytes()->GetRawBytes(), ".");
    device::VirtualDeviceInfo without_real(nlohmann::json::object(), nullptr);
    EXPECT_STREQ(without_real.GetModel(), "");
}

class MakeDeviceInfoTest : public zelko::testing::SystemRootTest {
  protected:
    void WriteFile(const std::string& text) {
        std::ofstream(scratch() / kDeviceInfoConfigFileName, std::ios::binary) << text;
    }
};

TEST_F(MakeDeviceInfoTest, ImpersonationSwitch) {
    WriteFile(R"({"DeviceInfo": {"Model": "Impersonated", "DeviceSNRId": "SNR-1"}})");
    auto real = Device("aa");
    struct Case {
        const char* config;
        bool impersonated;
    } cases[] = {
        {"{}", false},
        {"null", false},
        {R"({"cloud": {}})", false},
        {R"({"cloud": {"impersonate": false, "stack": "dev"}})", false},
        {R"({"cloud": {"impersonate": true}})", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        LogCapture log;
        auto info = MakeDeviceInfo(nlohmann::json::parse(c.config), scratch(), real);
        EXPECT_EQ(info == real, !c.impersonated);
        EXPECT_STREQ(info->GetModel(), c.impersonated ? "Impersonated" : "realModel");
        EXPECT_EQ(log.Contains(logging::info, "Instantiating VirtualDeviceInfo to impersonate device"),
                  c.impersonated);
    }
    // A damaged switch is off, with one warning naming the file and the key.
    for (const char* bad : {R"({"cloud": "x"})", R"({"cloud": {"impersonate": "yes"}})",
                            R"({"cloud": {"impersonate": 1}})"}) {
        SCOPED_TRACE(bad);
        LogCapture log;
        std::shared_ptr<shared::device::IDeviceInfo> info;
        ASSERT_NO_THROW(info = MakeDeviceInfo(nlohmann::json::parse(bad), scratch(), real));
        EXPECT_EQ(info, real);
        EXPECT_EQ(log.Count(logging::warning, "zelko-plenar-agent-config.json"), 1);
    }
}

TEST_F(MakeDeviceInfoTest, DamagedFileFailsTheImpersonationNamingTheFile) {
    const nlohmann::json config = {{"cloud", {{"impersonate", true}}}};
    const std::string cases[] = {"",
                                 R"({"DeviceInfo": {"Model": "M")",
                                 "not json",
                                 R"(["DeviceInfo"])",
                                 R"({"DeviceInfo": {"Model": 1}})",
                                 R"({"DeviceInfo": [1, 2]})",
                                 std::string(1 << 20, '[')};
    for (const auto& text : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        WriteFile(text);
        EXPECT_THROW(MakeDeviceInfo(config, scratch(), Device("aa")), nlohmann::json::exception);
    }
    std::filesystem::remove(scratch() / kDeviceInfoConfigFileName);
    LogCapture log;
    try {
        MakeDeviceInfo(config, scratch(), Device("aa"));
        ADD_FAILURE() << "no error";
    } catch (const nlohmann::json::type_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot use value() with null"), std::string::npos);
    }
    EXPECT_TRUE(
        log.Contains(logging::error, "Failed to load " + (scratch() / kDeviceInfoConfigFileName).string()));
}

TEST_F(MakeDeviceInfoTest, ImpersonatedIdentityImpliesItsFeatures) {
    WriteFile(R"({"DeviceInfo": {"ProductId": "tvk5g1b00eu",
                                 "ZelkoSpecificInfo": {"FeatureByte": {"RawBytes": "ssr6.1"}}}})");
    auto info = MakeDeviceInfo({{"cloud", {{"impersonate", true}}}}, scratch(), Device("ry"));
    nlohmann::json config = {{"sfs", {"Simulated"}}};
    FeatureFinder finder({std::make_shared<FeatureByteSource>(info, nullptr),
                          std::make_shared<ZelkoInitiativesSource>(info, nullptr),
                          std::make_shared<SimulateFeaturesSource>(config)});
    EXPECT_EQ(FeatureNames(finder.GetFeatures()),
              (Names{"r6", "ss", "Tarvik500", "ZelkoPlenarSubscription", "Corvane", "Simulated"}));
    EXPECT_TRUE(finder.GetFeaturesByName("ry").empty());  // the real device's code is not seen
}

}  // namespace
}  // namespace zelko::plenar::agent
