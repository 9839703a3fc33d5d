#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloud/broker.h"
#include "cloud/device_services.h"
#include "cloud/local_ca.h"

namespace httplib {
class Server;
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib
struct mosquitto;

namespace zelko::cloud {

class ConsentService;

// The local stand-in for the maker's cloud: a mosquitto broker, the device side over HTTPS
// (client certificates from the local CA: named shadows, HTTP publish, temporary credentials) and
// an admin side over plain HTTP for people and tests. Everything listens on 127.0.0.1 only.
class LocalCloud {
  public:
    struct Settings {
        std::filesystem::path folder;  // CA, certificates, broker configuration and log
        int httpsPort = 0;             // 0: a free port
        int mqttPort = 0;
        int adminPort = 0;
        int consentPort = 0;
        int servicesPort = 0;
    };

    // A message a device sent, by MQTT or by HTTP publish.
    struct Message {
        std::string topic;
        std::string payload;
        std::string via;    // "mqtt" or "http"
        std::string thing;  // the sender's certificate CN (HTTP only)
        int64_t time = 0;   // milliseconds since 1970
    };

    // A scripted fault of one device endpoint.
    struct Fault {
        int status = 0;        // answer this status (0: answer normally after the delay)
        int remaining = 1;     // for this many calls; -1: until cleared
        int delayMs = 0;       // wait before answering
        bool close = false;    // close the connection without an answer
        std::string body;      // with status: the answer's body instead of the error document
    };

    explicit LocalCloud(Settings settings);
    ~LocalCloud();
    LocalCloud(const LocalCloud&) = delete;
    LocalCloud& operator=(const LocalCloud&) = delete;

    // Throws std::runtime_error when a part cannot start.
    void Start();
    void Stop();

    int HttpsPort() const { return httpsPort_; }
    int MqttPort() const;
    int AdminPort() const { return adminPort_; }
    int ConsentPort() const;
    // Discovery, onboarding, attestation, enrollment, objects and data-valve rules (no client certificate).
    int ServicesPort() const { return services_ ? services_->Port() : 0; }
    DeviceServices& Services() { return *services_; }
    const LocalCa& Ca() const { return *ca_; }

    // The admin operations (also reachable over the admin port).
    nlohmann::json GetShadow(const std::string& thing, const std::string& name) const;  // null when none
    // Applies an update document; returns the accepted document. Throws ShadowUpdateError.
    nlohmann::json UpdateShadow(const std::string& thing, const std::string& name, const nlohmann::json& update);
    bool DeleteShadow(const std::string& thing, const std::string& name);
    std::vector<Message> Messages(const std::string& topicPrefix = {}) const;
    void ClearMessages();
    void SetFault(const std::string& endpoint, Fault fault);
    void ClearFaults();
    // Forgets what requests stored (shadows, messages, faults, devices, objects, consents) and
    // starts the broker again if it was stopped; the servers and their threads go on.
    void ClearStores();
    void StopBroker();
    // Returns once the cloud's own client is subscribed again (at most five seconds), so that what
    // devices publish from then on is recorded.
    void StartBroker();
    bool BrokerRunning() const;

    // Endpoint names for faults.
    static const std::vector<std::string>& Endpoints();

  private:
    struct ShadowKey {
        std::string thing;
        std::string name;
        bool operator<(const ShadowKey& other) const {
            return thing != other.thing ? thing < other.thing : name < other.name;
        }
    };

    void SetUpDeviceRoutes();
    void SetUpAdminRoutes();
    // True when a fault answered (or dropped) the request.
    bool ApplyFault(const std::string& endpoint, const httplib::Request& request, httplib::Response& response);
    void Publish(const std::string& topic, const std::string& payload);
    void Record(Message message);
    void ConnectClient();
    void RunClientLoop();
    // Until the broker has acknowledged the client's subscriptions, at most five seconds.
    void WaitForSubscriptions();
    static constexpr int kClientSubscriptions = 2;  // "#" and "$aws/#"

  public:
    // Called by the cloud's own broker client.
    void OnClientConnected();
    void OnClientSubscribed();
    void OnClientDisconnected();
    void OnClientMessage(const std::string& topic, const std::string& payload);

  private:

    Settings settings_;
    std::unique_ptr<LocalCa> ca_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<httplib::SSLServer> https_;
    std::unique_ptr<httplib::Server> admin_;
    std::unique_ptr<ConsentService> consent_;
    std::unique_ptr<DeviceServices> services_;
    std::thread httpsThread_;
    std::thread adminThread_;
    int httpsPort_ = 0;
    int adminPort_ = 0;
    mosquitto* client_ = nullptr;
    std::thread clientThread_;  // the client's network loop
    // The loop's state: whether it goes on, whether a reconnect is due at once (the broker is back)
    // and how many of its subscriptions the broker has acknowledged on this connection.
    std::mutex clientMutex_;
    std::condition_variable clientChanged_;
    bool clientRunning_ = false;
    bool reconnectNow_ = false;
    int subscriptions_ = 0;

    mutable std::mutex mutex_;
    std::map<ShadowKey, nlohmann::json> shadows_;
    std::vector<Message> messages_;
    std::map<std::string, Fault> faults_;
    uint64_t faultEpoch_ = 0;  // moves when the faults are cleared or the cloud stops
    std::condition_variable faultsCleared_;
    uint64_t credentialSerial_ = 0;
    bool started_ = false;
};

}  // namespace zelko::cloud
