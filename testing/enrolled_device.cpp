#include "testing/enrolled_device.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "outside/iot/iot_info.h"
#include "testing/local_cloud.h"

namespace zelko::testing {

namespace fs = std::filesystem;
using cloud::test::Admin;
using cloud::test::Cloud;
using nlohmann::json;

namespace {

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string DeviceSide() { return "127.0.0.1:" + std::to_string(Cloud().https); }

}  // namespace

fs::path TrustLocalCloud(const fs::path& folder) {
    const auto caFile = folder / "cloud-ca.pem";
    WriteText(caFile, Cloud().caPem);
    ::setenv("ZELKO_CLOUD_CA_FILE", caFile.c_str(), 1);
    return caFile;
}

void WriteEnrolledDevice(const fs::path& folder, const std::string& thing, const fs::path& storesFolder) {
    const auto [status, issued] = Admin(shared::http::HttpMethod::POST, "/certificates", {{"thing", thing}});
    if (status != 200) throw std::runtime_error("the local cloud issued no certificate for " + thing);
    const auto store = (storesFolder.empty() ? folder : storesFolder) / "ZelkoPlenarCertStore";
    fs::create_directories(store);
    WriteText(store / shared::iot::kStoreCertificateFile, issued.at("certificate"));
    WriteText(store / shared::iot::kStorePrivateKeyFile, issued.at("privateKey"));
    WriteText(folder / "iot-info.dat",
              "local\r\ntenant\r\n127.0.0.1:" + std::to_string(Cloud().mqtt) + "\r\n" + thing + "\r\n" +
                  store.string() + "\r\ncreds/" + thing + "\r\ncredentials\r\n" + DeviceSide() +
                  "\r\n/role-aliases/zelko-device/credentials\r\n" + Cloud().caPem + "\r\n");
}

json LocalCloudStack(const std::string& telemetryTopic) {
    const std::string unused = "https://127.0.0.1:1";
    return {{"stackName", "dev"},
            {"iot",
             {{"telemetryTopic", telemetryTopic},
              {"credentialUri", "https://" + DeviceSide() + "/role-aliases/zelko-device/credentials"}}},
            {"enrollment_v2",
             {{"discoveryUri", unused},
              {"enrollmentUri", unused},
              {"enrollmentStatusUri", unused},
              {"preEnrollmentUri", unused}}},
            {"enrollment_1e", {{"preEnrollmentUri", unused}, {"enrollmentUri", unused}}},
            {"attestation", {{"attestUri", unused}, {"possesionUri", unused}, {"certificateUri", unused}}}};
}

fs::path WriteConnectivityConfig(const fs::path& configFolder, const json& stack) {
    fs::create_directories(configFolder);
    const auto path = configFolder / "connectivity-module-config.json";
    WriteText(path, json{{"cloud", {{"stacks", {{"dev", stack}}}}}}.dump());
    return path;
}

}  // namespace zelko::testing
