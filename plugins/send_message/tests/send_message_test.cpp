#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "foundation/utils_files.h"
#include "outside/device_info/device_info.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "platform/processes.h"
#include "plugins/send_message/device_identity.h"
#include "plugins/send_message/plugin_module.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::shared::plugin {
namespace {

using ::testing::HasSubstr;
using Json = nlohmann::json;
using plenar::crypto::Cryptography;
namespace fs = std::filesystem;
namespace Utils = plenar::agent::Utils;

constexpr const char* kRemoveWarning = "There is a problem in remove(): ";
constexpr const char* kReportWarning = "There is an exception while encrypting acm report to output: ";
constexpr const char* kExecuteWarning = "There is an exception in PluginModule::Execute(): ";

// The event record as the telemetry module writes it, its data the given text.
Json EventRecord(const std::string& data) {
    Json event = {{"dwControl", 217}, {"dwEventType", 0},  {"dwChannel", 0},
                  {"dwLevel", 0},     {"dataSize", data.size()}, {"time", "2026-12-10T15:00:00+01:00"}};
    if (!data.empty()) event["lpEventData"] = Json::binary(std::vector<uint8_t>(data.begin(), data.end()));
    return event;
}

std::string Input(const std::string& data) {
    return Json({{"event", EventRecord(data)}, {"configuration", Json::object()}}).dump();
}

std::string ReportMessage(const fs::path& file) {
    return Json({{"params", {{"file", file.string()}, {"op", "acm_report"}}}}).dump();
}

// The host side of one Execute: its first buffer and whatever it hands out instead.
struct Host {
    std::vector<char> first = std::vector<char>(kOutputBufferSize, '#');
    std::vector<char> replacement;
    std::vector<std::string> calls;
    bool gives_buffer_up = true;
    char* output = first.data();

    PluginBufferAllocator Allocator() {
        PluginBufferAllocator allocator;
        allocator.allocate = [this](uint64_t size) {
            calls.push_back("allocate " + std::to_string(size));
            replacement.assign(size, '#');
            return replacement.data();
        };
        allocator.release = [this](char*& buffer, uint64_t size) {
            calls.push_back("release " + std::to_string(size));
            if (gives_buffer_up) buffer = nullptr;
        };
        return allocator;
    }

    std::string Run(IDynamicPluginModule& module, const char* input) {
        module.Execute(input, output, Allocator());
        return output != nullptr ? std::string(output) : std::string("<null>");
    }
};

class SendMessageTest : public zelko::testing::SystemRootTest {
  protected:
    fs::path WriteReport(const Json& report, const std::string& name = "msg_2026-12-10_15-00-00-001.rsnd") {
        const auto folder = root() / "ProgramData" / "Zelko" / "Zelko Plenar Agent" / "Messages";
        fs::create_directories(folder);
        Utils::SaveEncryptedJsonFile(folder / name, report, *crypto_);
        return folder / name;
    }

    std::shared_ptr<Cryptography> crypto_ = std::make_shared<Cryptography>("SNR-4711");
    PluginModule module_{crypto_};
    zelko::testing::LogCapture log_;
};

TEST_F(SendMessageTest, InputsThatGiveNoReport) {
    const auto missing = root() / "no-such.rsnd";
    struct Case {
        const char* label;
        std::string input;
        const char* warning;  // null: nothing logged
    } cases[] = {
        {"data size 0", Json({{"event", EventRecord("")}}).dump(), nullptr},
        {"data but size 0",
         [] {
             Json event = EventRecord("{\"params\":{\"op\":\"acm_report\",\"file\":\"x\"}}");
             event["dataSize"] = 0;
             return Json({{"event", event}}).dump();
         }(),
         nullptr},
        {"no lpEventData",
         [] {
             Json event = EventRecord("x");
             event.erase("lpEventData");
             return Json({{"event", event}}).dump();
         }(),
         nullptr},
        {"op missing", Input(R"({"params":{"file":"/x"}})"), nullptr},
        {"other op", Input(R"({"params":{"op":"other","file":"/x"}})"), nullptr},
        {"params missing", Input(R"({"p":1})"), nullptr},
        {"message null", Input("null"), nullptr},
        {"missing file", Input(ReportMessage(missing)),
         "There is an exception while encrypting acm report to output: file doesn't not exist "},
        {"dwLevel missing",
         [] {
             Json event = EventRecord("x");
             event.erase("dwLevel");
             return Json({{"event", event}}).dump();
         }(),
         "There is an exception in PluginModule::Execute(): [json.exception.out_of_range.403] key 'dwLevel' not found"},
        {"dwControl a text",
         [] {
             Json event = EventRecord("x");
             event["dwControl"] = "217";
             return Json({{"event", event}}).dump();
         }(),
         "type must be number, but is string"},
        {"dataSize negative", [] {
             Json event = EventRecord("x");
             event["dataSize"] = -2.5;
             return Json({{"event", event}}).dump();
         }(), "out of range"},
        {"input not JSON", "{\"event\":", kExecuteWarning},
        {"input an array", "[1,2]", kExecuteWarning},
        {"no event", R"({"configuration":{}})", kExecuteWarning},
        {"message not JSON", Input("not json"), kExecuteWarning},
        {"params an array", Input(R"({"params":[1]})"), "cannot use operator[] with a string argument with array"},
        {"file a number", Input(R"({"params":{"op":"acm_report","file":7}})"), "type must be string, but is number"},
        {"file missing", Input(R"({"params":{"op":"acm_report"}})"), "type must be string, but is null"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto before = log_.Lines().size();
        Host host;
        EXPECT_EQ(host.Run(module_, c.input.c_str()), "");
        EXPECT_TRUE(host.calls.empty());
        const auto lines = log_.Lines();
        if (c.warning == nullptr) {
            EXPECT_EQ(lines.size(), before);
            continue;
        }
        ASSERT_EQ(lines.size(), before + 1);
        EXPECT_EQ(lines.back().first, logging::warning);
        EXPECT_THAT(lines.back().second, HasSubstr(c.warning));
    }
    EXPECT_TRUE(log_.Contains(logging::warning, kReportWarning + std::string("file doesn't not exist ") +
                                                    missing.string()));
    Host host;
    EXPECT_EQ(host.Run(module_, nullptr), "");
}

TEST_F(SendMessageTest, ReportRoundTripDeletesTheFileOnceAnswered) {
    const Json report = {{"upload", {{"data", {{"path", "%programdata%\\Zelko %s %n %%"}, {"n", 3}}}}}};
    const auto file = WriteReport(report);
    const std::string input = Input(ReportMessage(file));

    Host host;
    EXPECT_EQ(host.Run(module_, input.c_str()), report.dump());
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(log_.Lines().empty());

    Host again;
    EXPECT_EQ(again.Run(module_, input.c_str()), "");
    EXPECT_TRUE(log_.Contains(logging::warning,
                              kReportWarning + std::string("file doesn't not exist ") + file.string()));
}

TEST_F(SendMessageTest, AnswerAtTheBufferBoundary) {
    // {"t":"..."} is 8 bytes around the text.
    for (size_t length : {10239u, 10240u, 70000u}) {
        SCOPED_TRACE(length);
        const Json report = {{"t", std::string(length - 8, 'r')}};
        ASSERT_EQ(report.dump().size(), length);
        const auto file = WriteReport(report);
        Host host;
        EXPECT_EQ(host.Run(module_, Input(ReportMessage(file)).c_str()), report.dump());
        if (length < kOutputBufferSize) {
            EXPECT_TRUE(host.calls.empty());
            EXPECT_EQ(host.output, host.first.data());
        } else {
            EXPECT_EQ(host.calls, (std::vector<std::string>{"release 10240", "allocate " + std::to_string(length + 1)}));
            EXPECT_EQ(host.output, host.replacement.data());
            EXPECT_EQ(host.replacement.size(), length + 1);
        }
        EXPECT_FALSE(fs::exists(file));
    }
}

TEST_F(SendMessageTest, ReportThatCannotBeAnsweredKeepsItsFile) {
    const Json report = {{"t", std::string(20000, 'r')}};
    const auto file = WriteReport(report);
    Host host;
    host.gives_buffer_up = false;
    EXPECT_EQ(host.Run(module_, Input(ReportMessage(file)).c_str()), "");
    EXPECT_EQ(host.output, host.first.data());
    EXPECT_TRUE(fs::exists(file));
    EXPECT_TRUE(log_.Contains(logging::warning, kReportWarning));
    EXPECT_FALSE(log_.Contains(logging::warning, kRemoveWarning));

    // The next run, with a host that can give more room, still delivers it.
    Host next;
    EXPECT_EQ(next.Run(module_, Input(ReportMessage(file)).c_str()), report.dump());
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(SendMessageTest, DamagedMessageFileIsLeftInPlace) {
    const auto folder = scratch();
    struct Case {
        const char* label;
        std::function<void(const fs::path&)> write;
    } cases[] = {
        {"empty", [](const fs::path& p) { std::ofstream(p, std::ios::binary); }},
        {"plain JSON", [](const fs::path& p) { std::ofstream(p, std::ios::binary) << R"({"a":1})"; }},
        {"other key",
         [](const fs::path& p) { Utils::SaveEncryptedJsonFile(p, Json{{"a", 1}}, Cryptography("someone else")); }},
        {"cut",
         [this](const fs::path& p) {
             Utils::SaveEncryptedJsonFile(p, Json{{"a", std::string(5000, 'x')}}, *crypto_);
             fs::resize_file(p, fs::file_size(p) / 2);
         }},
        {"a folder", [](const fs::path& p) { fs::create_directories(p); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto file = folder / (std::string(c.label) + ".rsnd");
        c.write(file);
        const auto warnings = log_.Count(logging::warning, kReportWarning);
        Host host;
        EXPECT_EQ(host.Run(module_, Input(ReportMessage(file)).c_str()), "");
        EXPECT_TRUE(fs::exists(file));
        EXPECT_EQ(log_.Count(logging::warning, kReportWarning), warnings + 1);
    }
}

TEST_F(SendMessageTest, IdentityFollowsTheServiceImpersonation) {
    const std::string real = device::DeviceInfo().GetDeviceSNRId();
    const auto folder = scratch() / "Configuration Files";
    struct Case {
        const char* label;
        const char* main_config;    // null: no file
        const char* device_config;  // null: no file
        const char* id;             // null: the real one; "!": raises
        const char* error_part;
    } cases[] = {
        {"no configuration", nullptr, nullptr, nullptr, nullptr},
        {"impersonation off", R"({"cloud":{"impersonate":false}})", R"({"DeviceInfo":{"DeviceSNRId":"V"}})", nullptr,
         nullptr},
        {"main configuration damaged", "{cut", R"({"DeviceInfo":{"DeviceSNRId":"V"}})", nullptr, nullptr},
        {"impersonated", R"({"cloud":{"impersonate":true}})", R"({"DeviceInfo":{"DeviceSNRId":"V-1"}})", "V-1",
         nullptr},
        {"impersonated without an id", R"({"cloud":{"impersonate":true}})", R"({"DeviceInfo":{"Model":"M"}})",
         nullptr, nullptr},
        // A damaged switch is off, as the service reads it.
        {"impersonate not a boolean", R"({"cloud":{"impersonate":"true"}})", R"({"DeviceInfo":{"DeviceSNRId":"V"}})",
         nullptr, nullptr},
        {"no device file", R"({"cloud":{"impersonate":true}})", nullptr, "!", "cannot use value() with null"},
        {"device file not JSON", R"({"cloud":{"impersonate":true}})", "{", "!", "cannot use value() with null"},
        {"device file an array", R"({"cloud":{"impersonate":true}})", "[1]", "!", "cannot use value() with array"},
        {"DeviceInfo a text", R"({"cloud":{"impersonate":true}})", R"({"DeviceInfo":"x"})", "!",
         "cannot use value() with string"},
        {"id a number", R"({"cloud":{"impersonate":true}})", R"({"DeviceInfo":{"DeviceSNRId":5}})", "!",
         "type must be string, but is number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(folder);
        fs::create_directories(folder);
        if (c.main_config) std::ofstream(folder / "zelko-plenar-agent-config.json") << c.main_config;
        if (c.device_config) std::ofstream(folder / "device-info-config.json") << c.device_config;
        if (c.id != nullptr && std::string(c.id) == "!") {
            try {
                ServiceDeviceSnrId(folder);
                ADD_FAILURE() << "no exception";
            } catch (const std::exception& e) {
                EXPECT_THAT(e.what(), HasSubstr(c.error_part));
            }
        } else {
            EXPECT_EQ(ServiceDeviceSnrId(folder), c.id != nullptr ? c.id : real);
        }
    }
}

// The library's defined dynamic symbols, demangled.
std::set<std::string> DynamicSymbols(const std::string& library) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> nm(
        ::popen(("nm -D --defined-only -C '" + library + "'").c_str(), "r"), ::pclose);
    std::set<std::string> symbols;
    if (!nm) return symbols;
    char line[4096];
    while (std::fgets(line, sizeof line, nm.get()) != nullptr) {
        // "<address> <type> <name>"; a demangled name holds blanks of its own.
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        const auto type = text.find(' ');
        if (type == std::string::npos || type + 3 > text.size()) continue;
        symbols.insert(text.substr(type + 3));
    }
    return symbols;
}

// The built library, as a host loads it.
class SendMessageLibraryTest : public SendMessageTest {
  protected:
    void SetUp() override {
        SendMessageTest::SetUp();
        library_ = platform::LibraryHandle(ZELKO_SEND_MESSAGE_PLUGIN);
        ASSERT_TRUE(library_.IsOpen()) << library_.Error();
        auto load = reinterpret_cast<LoadPluginFunction>(library_.Symbol("LoadPlugin"));
        ASSERT_NE(load, nullptr);
        plugin_.reset(load());
    }

    platform::LibraryHandle library_;
    std::unique_ptr<IDynamicPluginModule> plugin_;
};

// A host may link against the class itself: the library exports it whole besides its entry points.
TEST_F(SendMessageLibraryTest, ExportsEntryPointsAndThePluginClassAndTwoArgumentExecuteDoesNothing) {
    const std::string cls = "zelko::shared::plugin::PluginModule::";
    EXPECT_EQ(DynamicSymbols(ZELKO_SEND_MESSAGE_PLUGIN),
              (std::set<std::string>{
                  "LoadPlugin",
                  "zelkoSharedInitializeLogger",
                  cls + "PluginModule()",
                  cls + "PluginModule(zelko::shared::plugin::PluginModule const&)",
                  cls + "operator=(zelko::shared::plugin::PluginModule const&)",
                  cls + "~PluginModule()",
                  cls + "Execute(char const*, char*)",
                  cls + "Execute(char const*, char*&, zelko::shared::plugin::PluginBufferAllocator const&)",
              }));

    const auto file = WriteReport(Json{{"a", 1}});
    std::vector<char> buffer(kOutputBufferSize, '#');
    plugin_->Execute(Input(ReportMessage(file)).c_str(), buffer.data());
    EXPECT_EQ(buffer, std::vector<char>(kOutputBufferSize, '#'));
    EXPECT_TRUE(fs::exists(file));
}

TEST_F(SendMessageLibraryTest, DecryptsWithTheDeviceIdentity) {
    // The service's key: the device's SNR id (no impersonation beside the test program).
    crypto_ = std::make_shared<Cryptography>(device::DeviceInfo().GetDeviceSNRId());
    const Json report = {{"upload", {{"data", {{"ok", true}}}}}};
    const auto file = WriteReport(report);
    Host host;
    EXPECT_EQ(host.Run(*plugin_, Input(ReportMessage(file)).c_str()), report.dump());
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(SendMessageLibraryTest, ReportReachesTheCallerThroughThePluginManager) {
    crypto_ = std::make_shared<Cryptography>(device::DeviceInfo().GetDeviceSNRId());
    for (const char* folder : {"collectors", "inmem"}) {
        const auto target = scratch() / folder / "zelko-send-message" / "1.0.3";
        fs::create_directories(target);
        fs::copy_file(ZELKO_SEND_MESSAGE_PLUGIN, target / "zelko-send-message.so");
    }
    for (bool in_process : {false, true}) {
        SCOPED_TRACE(in_process ? "in process" : "through the executor");
        PluginManager manager((scratch() / "collectors").c_str(), "info", ZELKO_PLUGIN_EXECUTOR,
                              ValidatorSettings{scratch() / "none.pem", true});
        if (in_process) manager.InitializeInMemoryPlugins((scratch() / "inmem").c_str());
        const Json report = {{"upload", {{"data", {{"big", std::string(30000, 'b')}}}}}};
        const auto file = WriteReport(report);
        const std::string input = Input(ReportMessage(file));
        const char* text = input.c_str();
        auto result = manager.ExecutePlugin("zelko-send-message", ">=1.0.0", text, {}, nullptr, nullptr);
        ASSERT_FALSE(result.GetError()) << result.GetError().what();
        EXPECT_EQ(std::string(result.GetOutput()), report.dump());
        EXPECT_FALSE(fs::exists(file));
    }
}

TEST_F(SendMessageLibraryTest, HandedOverLoggerWritesIntoTheHostFileUnderTheLibraryName) {
    const auto executable = scratch() / "host.exe";
    const auto missing = scratch() / "missing.rsnd";
    const std::string command = std::string("'") + ZELKO_SEND_MESSAGE_HOST + "' '" + executable.string() + "' '" +
                                ZELKO_SEND_MESSAGE_PLUGIN + "' '" + Input(ReportMessage(missing)) + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(scratch() / "host.log", std::ios::binary);
    const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

    std::smatch warning, host;
    ASSERT_TRUE(std::regex_search(log, warning,
                                  std::regex(R"(WARN  \[(\d+)\] \[zelko-send-message\.so\] )" +
                                             std::string(kReportWarning) + "file doesn't not exist ")))
        << log;
    ASSERT_TRUE(std::regex_search(log, host, std::regex(R"(INFO  \[(\d+)\] \[zelko_send_message_host\] host saw answer '')")))
        << log;
    EXPECT_EQ(warning[1], host[1]);
    EXPECT_THAT(log, HasSubstr(missing.string()));
}

}  // namespace
}  // namespace zelko::shared::plugin
