#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace zelko::cloud {

// The consent service of the local cloud: the consent purposes of each device, which devices
// query ("POST /api/2/consents") and update ("PUT /api/2/consents?..."), on a loopback port of
// its own over plain HTTP (the agent's consent requests carry no certificate and trust only the
// system's roots); people and tests set and read purposes through the admin side.
class ConsentService {
  public:
    // Answers a request in place of the service when a fault is scripted for the endpoint.
    using FaultHook = std::function<bool(const std::string& endpoint, const httplib::Request& request,
                                         httplib::Response& response)>;

    explicit ConsentService(FaultHook fault);
    ~ConsentService();
    ConsentService(const ConsentService&) = delete;
    ConsentService& operator=(const ConsentService&) = delete;

    // Listens on 127.0.0.1:port (0: a free port) and adds its admin routes to admin. Throws
    // std::runtime_error when it cannot listen.
    void Start(int port, httplib::Server& admin);
    void Stop();
    int Port() const { return port_; }

    // The device's purposes in their order; null when the device has none.
    nlohmann::json Purposes(const std::string& deviceId) const;
    // Replaces the device's purposes: objects with text values, each with "purposeId" and "state".
    // Missing "resourceId", "deviceId" and "dateTime" are filled in. Throws std::invalid_argument.
    nlohmann::json SetPurposes(const std::string& deviceId, const nlohmann::json& purposes);
    bool DeletePurposes(const std::string& deviceId);
    void ClearPurposes();

    // Endpoint names for faults.
    static const std::vector<std::string>& Endpoints();

  private:
    void Query(const httplib::Request& request, httplib::Response& response);
    void Update(const httplib::Request& request, httplib::Response& response);

    FaultHook fault_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, nlohmann::json> purposes_;  // device id -> array of purpose objects
    uint64_t serial_ = 0;
};

}  // namespace zelko::cloud
