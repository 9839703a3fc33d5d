#include "plugins/send_message/plugin_module.h"

#include <exception>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "foundation/logging.h"
#include "foundation/utils_files.h"
#include "plugins/send_message/device_identity.h"

namespace zelko::shared::plugin {

namespace {

// The member of an object, null when absent; null stays null; other values raise the JSON
// library's type error.
nlohmann::json Member(nlohmann::json value, const char* key) { return value[key]; }

// An unsigned number of the event record; a floating number is cut toward zero, but one that
// the type cannot hold is refused rather than converted blindly.
template <typename T>
T ReadUnsigned(const nlohmann::json& value) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (!(number > -1.0 && number < 18446744073709551616.0 &&
              static_cast<uint64_t>(number) <= std::numeric_limits<T>::max())) {
            throw std::out_of_range("number " + value.dump() + " is out of range");
        }
        return static_cast<T>(number);
    }
    return value.get<T>();
}

void WriteEmpty(char* output) {
    if (output != nullptr) output[0] = '\0';
}

}  // namespace

PluginModule::PluginModule()
    : cryptography(std::make_shared<plenar::crypto::Cryptography>(
          ServiceDeviceSnrId(plenar::agent::Utils::GetExecutableDirectory() / "Configuration Files"))) {}

PluginModule::PluginModule(const PluginModule&) = default;
PluginModule& PluginModule::operator=(const PluginModule&) = default;
PluginModule::~PluginModule() = default;

PluginModule::PluginModule(std::shared_ptr<plenar::crypto::Cryptography> cryptography)
    : cryptography(std::move(cryptography)) {}

void PluginModule::Execute(const char*, char*) {}

void PluginModule::ReadEventRecord(const nlohmann::json& event) {
    dwControl = ReadUnsigned<uint32_t>(event.at("dwControl"));
    dwEventType = ReadUnsigned<uint32_t>(event.at("dwEventType"));
    dwChannel = ReadUnsigned<uint32_t>(event.at("dwChannel"));
    dwLevel = ReadUnsigned<uint32_t>(event.at("dwLevel"));
    dataSize = ReadUnsigned<uint64_t>(event.at("dataSize"));
    time = event.at("time").get<std::string>();
    lpEventData.clear();
    if (dataSize == 0) return;
    auto data = event.find("lpEventData");
    if (data == event.end() || !data->is_object()) return;
    auto bytes = data->find("bytes");
    if (bytes != data->end()) lpEventData = bytes->get<std::vector<uint8_t>>();
}

void PluginModule::Execute(const char* input, char*& output, const PluginBufferAllocator& allocator) {
    std::filesystem::path path;
    try {
        WriteEmpty(output);
        if (input == nullptr) return;
        const auto request = nlohmann::json::parse(input);
        ReadEventRecord(request.at("event"));
        if (lpEventData.empty()) return;
        const auto message =
            nlohmann::json::parse(std::string(lpEventData.begin(), lpEventData.end()));
        const auto params = Member(message, "params");
        const auto op = Member(params, "op");
        if (!op.is_string() || op.get<std::string>() != "acm_report") return;
        path = Member(params, "file").get<std::string>();
    } catch (const std::exception& e) {
        WriteEmpty(output);
        LOG_WARNING << "There is an exception in PluginModule::Execute(): " << e.what();
        return;
    } catch (...) {
        WriteEmpty(output);
        LOG_WARNING << "There is an exception in PluginModule::Execute()";
        return;
    }

    try {
        const auto report = plenar::agent::Utils::LoadEncryptedJsonFile(path, *cryptography);
        const std::string text = report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        // The file is the only copy of the report: it goes only once the answer is in place.
        if (!WriteOutput(text, output, allocator)) {
            WriteEmpty(output);
            throw std::runtime_error("the output buffer for a report of " + std::to_string(text.size()) +
                                     " bytes could not be replaced; " + path.string() + " is kept");
        }
        std::error_code ec;
        std::filesystem::remove(path, ec);
        if (ec) {
            LOG_WARNING << "There is a problem in remove(): " << path.string() << ec.message();
        }
    } catch (const std::exception& e) {
        LOG_WARNING << "There is an exception while encrypting acm report to output: " << e.what();
    } catch (...) {
        WriteEmpty(output);
        LOG_WARNING << "There is an exception while encrypting acm report to output";
    }
}

}  // namespace zelko::shared::plugin
