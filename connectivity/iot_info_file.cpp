#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "connectivity/connectivity_module.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "outside/device_info/device_info.h"
#include "platform/file_replace.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;
using shared::error::Error;
using shared::iot::IotInfo;

namespace {

constexpr char kDefaultCredentialUri[] =
    "https://c2x7kq4mzn1vbt.credentials.iot.us-east-1.amazonaws.com/role-aliases/"
    "zelko-plenar-device-access-role-alias/credentials";
constexpr char kLineEnd[] = "\r\n";

void StripLineEnd(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

}  // namespace

std::string GetCredentialUri(const nlohmann::json& iot) {
    return iot.value("credentialUri", std::string(kDefaultCredentialUri));
}

std::pair<std::string, std::string> SplitCredentialUri(const std::string& uri) {
    const auto pieces = Utils::Split(uri, "https://");
    if (pieces.size() < 2 || pieces[1].empty()) {
        LOG_WARNING << "Failed to parse credential endpoint from " << uri;
        return {};
    }
    // The host ends at the first "/"; any host name works, not only ".com" ones.
    const std::string& rest = pieces[1];
    const size_t slash = rest.find('/');
    if (slash == std::string::npos || slash == 0) return {};
    return {rest.substr(0, slash), rest.substr(slash)};
}

void ConnectivityModule::ResetIoTInfo(bool reset) {
    std::lock_guard lock(iotLock);
    const fs::path path = IoTInfoPath();
    if (reset) {
        iotInfo.reset();
        std::error_code ignored;
        fs::remove(path, ignored);
        return;
    }
    iotInfo = LoadIoTInfo(path);
    if (!iotInfo) return;
    const char* snrId = deviceInfo ? deviceInfo->GetDeviceSNRId() : nullptr;
    if (std::strcmp(iotInfo->GetThingName(), snrId != nullptr ? snrId : "") != 0) {
        LOG_INFO << "iot-info.dat is of the thing " << iotInfo->GetThingName()
                 << ", not of this device; ignored.";
        iotInfo.reset();
    }
}

std::shared_ptr<IotInfo> ConnectivityModule::LoadIoTInfo(const fs::path& path) {
    try {
        std::ifstream in;
        in.exceptions(std::ios::failbit | std::ios::badbit);
        in.open(path, std::ios::binary);
        std::array<std::string, 9> lines;
        for (auto& line : lines) {
            std::getline(in, line);
            // A line without its end is a file cut short, not a shorter field.
            if (in.eof()) throw std::runtime_error("the file is cut short");
            StripLineEnd(line);
        }
        std::string rest;
        rest.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (rest.ends_with(kLineEnd)) rest.resize(rest.size() - 2);

        std::string credentialEndpoint = lines[7];
        std::string credentialPath = lines[8];
        std::string rootCA;
        if (lines[7].find("BEGIN CERTIFICATE") != std::string::npos) {
            // The older layout: no credential lines, the root CA follows the shadow name.
            static const nlohmann::json kNoIot;
            const auto& iot =
                stackConfig.is_object() && stackConfig.contains("iot") ? stackConfig.at("iot") : kNoIot;
            std::tie(credentialEndpoint, credentialPath) = SplitCredentialUri(GetCredentialUri(iot));
            rootCA = lines[7] + "\n" + lines[8] + "\n" + rest;
        } else {
            rootCA = std::move(rest);
        }
        return std::make_shared<IotInfo>(lines[0], lines[1], lines[2], lines[3], lines[4], "", lines[5], "",
                                         std::move(rootCA), lines[6], std::move(credentialEndpoint),
                                         std::move(credentialPath));
    } catch (const std::ios_base::failure& e) {
        LOG_WARNING << "Failed to read iot-info.dat with i/o-excetpion: code:" << e.code().value()
                    << " desc:" << e.what();
    } catch (const std::exception& e) {
        LOG_WARNING << "Failed to read iot-info.dat with excetpion: " << e.what();
    } catch (...) {
        LOG_WARNING << "Failed to read iot-info.dat with unknown excetpion";
    }
    return nullptr;
}

void ConnectivityModule::SaveIoTInfo(const fs::path& path, const std::shared_ptr<IotInfo>& info) {
    try {
        if (!info) throw std::invalid_argument("no IoT information");
        std::string text;
        for (const char* field :
             {info->GetRegion(), info->GetTenant(), info->GetEndpoint(), info->GetThingName(),
              info->GetCertificate(), info->GetCredsTopic(), info->GetsCredentialsShadowName(),
              info->GetCredentialEndpoint(), info->GetCredentialPath(), info->GetRootCA()}) {
            text += field;
            text += kLineEnd;
        }
        // A new file takes the old one's place whole, so a crash never leaves half a root CA.
        if (platform::ReplaceFileContent(path, text) != platform::FileReplace::Ok) {
            const int code = errno;
            LOG_WARNING << "Failed to save iot-info.dat with i/o-excetpion: code:" << code
                        << " desc:" << std::strerror(code);
        }
    } catch (const std::exception& e) {
        LOG_WARNING << "Failed to save iot-info.dat with excetpion: " << e.what();
    } catch (...) {
        LOG_WARNING << "Failed to save iot-info.dat with unknown excetpion";
    }
}

std::shared_ptr<IotInfo> ConnectivityModule::GetIotInfo() {
    std::lock_guard lock(iotLock);
    return iotInfo;
}

std::shared_ptr<shared::iot::IoTCredential> ConnectivityModule::GetIotCredential() {
    std::lock_guard lock(iotLock);
    return iotDevice ? iotDevice->GetCredentials() : nullptr;
}

Error ConnectivityModule::GetCredentials(bool resetDevice) {
    std::unique_lock lock(iotLock);
    std::shared_ptr<shared::iot::IoTDevice> released;
    Error failure;
    try {
        if (iotDevice) {
            iotDevice->Disconnect();
            LOG_DEBUG << "Iot disconnected";
            // The next publish must connect again.
            connectionOpen = false;
            if (resetDevice) {
                released = std::move(iotDevice);
                iotDevice = MakeIoTDevice();
                LOG_DEBUG << "Iot device reset";
            }
        } else {
            iotDevice = MakeIoTDevice();
        }
        auto credential = iotDevice ? iotDevice->GetCredentials() : nullptr;
        if (credential && !credential->GetError()) {
            lock.unlock();
            released.reset();
            std::lock_guard state(stateLock);
            credentialsReady = true;
            return {};
        }
        failure =
            credential
                ? credential->GetError()
                : MakeIotDeviceError(
                      IotDeviceErrors::NotInitialized,
                      R"x({"msg":"IoT could not return a valid AWS Credential (suppose AWS_ERROR_HTTP)"})x",
                      "GetCredentials");
    } catch (...) {
        failure = error::ErrorFromException(std::current_exception(), "GetCredentials");
    }
    released = std::move(iotDevice);
    connectionOpen = false;
    lock.unlock();
    return failure;
}

bool ConnectivityModule::IsCredentialsReady() {
    std::lock_guard lock(stateLock);
    return credentialsReady;
}

}  // namespace zelko::plenar::agent
