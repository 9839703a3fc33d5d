#pragma once

// A device that enrollment left behind on the local cloud of the CTest fixture, for the tests that
// run modules against that cloud.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

namespace zelko::testing {

// Copies the cloud's CA into folder ("cloud-ca.pem") and names it by ZELKO_CLOUD_CA_FILE, which the
// attestation, enrollment, data-valve and S3 libraries trust. Returns the file.
std::filesystem::path TrustLocalCloud(const std::filesystem::path& folder);

// Issues a certificate for thing from the cloud's CA and writes what enrollment leaves beside the
// program in folder: the certificate store "ZelkoPlenarCertStore" and "iot-info.dat". The store goes
// into storesFolder instead when given: a test that walks the agent's own road from Initializing
// needs it where the certificate check looks, the maker's stores under ProgramData. Raises when
// the cloud issues no certificate.
void WriteEnrolledDevice(const std::filesystem::path& folder, const std::string& thing,
                         const std::filesystem::path& storesFolder = {});

// The "dev" stack of "connectivity-module-config.json" on the local cloud: its IoT side with
// telemetryTopic and the credentials address; enrollment and attestation addresses no test reaches.
nlohmann::json LocalCloudStack(const std::string& telemetryTopic);

// Writes {"cloud": {"stacks": {"dev": stack}}} as "connectivity-module-config.json" in configFolder
// (made when missing) and returns its path.
std::filesystem::path WriteConnectivityConfig(const std::filesystem::path& configFolder,
                                              const nlohmann::json& stack);

}  // namespace zelko::testing
