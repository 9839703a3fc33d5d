#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloud/local_ca.h"

namespace httplib {
class Server;
class SSLServer;
}  // namespace httplib

namespace zelko::cloud {

// A whole-number field of an admin request, or `absent` when the request leaves it out. Anything
// else is refused with std::invalid_argument: a float out of range converts to nothing defined.
template <typename T>
T WholeField(const nlohmann::json& body, const char* key, T absent) {
    const auto found = body.find(key);
    if (found == body.end()) return absent;
    if (!found->is_number_integer()) throw std::invalid_argument(std::string("\"") + key + "\" must be a whole number");
    return found->template get<T>();
}

// The identity side of the local cloud, for devices that hold no certificate yet: discovery,
// onboarding, attestation with proof of possession, enrollment (challenge, enroll, status), the
// 1E enrollment, objects (S3-like) and data-valve rules. It checks what devices send: request
// signatures, subjects (CN = the device id, OU of the road), the proofs signed by the attested or
// requested key. The logic answers plain requests (Handle) so tests can call it without sockets;
// Start serves it over HTTPS on its own loopback port, without client certificates.
class DeviceServices {
  public:
    struct Request {
        std::string method;  // "GET", "POST", "PUT"
        std::string path;
        std::map<std::string, std::string> query;
        std::map<std::string, std::string> headers;  // names in lower case
        std::string body;
        // The HTTP server cuts the asked range out of the whole body itself.
        bool serverAppliesRanges = false;
    };
    struct Response {
        int status = 200;
        std::string body;
        std::string contentType = "application/json";
        // Announce the whole body but drop the connection after this many bytes; -1: send it all.
        long cutAfter = -1;
    };
    struct Fault {
        int status = 0;
        int remaining = 1;  // -1: until cleared
        int delayMs = 0;
        // "objects-get" with status 0: the object is sent but cut after this many bytes.
        long cutAfter = -1;
    };

    // iotEndpoint: "host:port" of the broker the status document names.
    DeviceServices(const LocalCa& ca, std::function<std::string()> iotEndpoint);
    ~DeviceServices();
    DeviceServices(const DeviceServices&) = delete;
    DeviceServices& operator=(const DeviceServices&) = delete;

    Response Handle(const Request& request);

    // Serves Handle over HTTPS on 127.0.0.1 (port 0: a free one) and adds the admin routes.
    void Start(const std::filesystem::path& certificateFile, const std::filesystem::path& keyFile, int port,
               httplib::Server& admin);
    void Stop();
    int Port() const { return port_; }

    // Admin operations.
    nlohmann::json Devices() const;
    void SetFault(const std::string& endpoint, Fault fault);  // throws std::invalid_argument for an unknown name
    void ClearFaults();
    // Forgets every device, token, fault, object and scripted answer: the services as started.
    void Clear();
    void SetNotReadyPolls(int polls);
    void SetOnboardingAnswer(int status, nlohmann::json body);
    void SetValveRules(nlohmann::json rules);
    nlohmann::json Objects() const;
    // Publishes an object as the cloud's own side would (an installer, a file to fetch).
    void StoreObject(const std::string& bucket, const std::string& key, std::string bytes);
    // Every object read, in order: {"object", "range"} ("" when it asked for no range).
    nlohmann::json ObjectReads() const;
    static const std::vector<std::string>& Endpoints();

  private:
    struct Attestation {
        uint64_t id = 0;
        std::string challenge;  // raw bytes
        std::string request;    // the attestation key's request PEM
        bool proven = false;
        std::string certificate;
    };
    struct Enrollment {
        std::string id;
        std::string challenge;
        std::string request;
        std::string state;  // "challenged", "enrolled", "issued"
        int pollsLeft = 0;
        std::string certificate;
        int64_t issuedAt = 0;
    };
    struct Device {
        std::string serialNumber;
        Attestation attestation;
        Enrollment enrollment;
        std::string certificate1E;
        std::string challenge1E;
        std::string request1E;
        int64_t lastSeen = 0;
        bool onboarded = false;
    };

    bool TakeFault(const std::string& endpoint, Response& response);
    Response Discovery(const Request& request);
    Response Onboarding(const Request& request);
    Response Attest(const std::string& deviceId, const Request& request);
    Response Possession(const std::string& deviceId, const Request& request);
    Response AttestationCertificate(const std::string& deviceId);
    Response Challenge(const Request& request);
    Response Enroll(const Request& request);
    Response Status(const Request& request);
    Response Pre1E(const std::string& deviceId, const Request& request);
    Response Enroll1E(const std::string& deviceId, const Request& request);
    Response PutObject(const std::string& bucket, const std::string& key, const Request& request);
    Response GetObject(const std::string& bucket, const std::string& key, const Request& request);
    Response ValveRules(const Request& request);
    // The device a bearer token belongs to; empty when the token is unknown or expired.
    std::string TokenDevice(const Request& request);
    bool IssuedByCa(const std::string& certificatePem) const;

    const LocalCa& ca_;
    std::function<std::string()> iotEndpoint_;
    mutable std::mutex mutex_;
    std::map<std::string, Device> devices_;
    std::map<std::string, std::pair<std::string, int64_t>> tokens_;  // token -> device, expiry
    std::map<std::string, Fault> faults_;
    std::map<std::string, std::string> objects_;  // bucket/key -> bytes
    nlohmann::json objectReads_ = nlohmann::json::array();
    uint64_t nextAttestationId_ = 1000;
    static constexpr int kNotReadyPolls = 2;
    int notReadyPolls_ = kNotReadyPolls;
    int onboardingStatus_ = 200;
    nlohmann::json onboardingBody_ = nlohmann::json::object();
    nlohmann::json valveRules_ = DefaultValveRules();
    static nlohmann::json DefaultValveRules();
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace zelko::cloud
