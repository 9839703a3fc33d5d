#include "cloud/local_cloud.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <charconv>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "cloud/consent_service.h"
#include "cloud/kept_connections.h"
#include "outside/iot/shadow_document.h"

namespace zelko::cloud {

namespace {

constexpr size_t kMaxMessages = 100000;
// The cloud's limit for a message and a shadow document: what the agent publishes switches to S3
// above it. The bytes are taken as they come; only JSON routes read them as JSON.
constexpr size_t kMaxPayloadBytes = 128 * 1024;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SendJson(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

void SendError(httplib::Response& response, int status, const std::string& message) {
    SendJson(response, status, {{"code", status}, {"message", message}});
}

std::string PeerName(const httplib::Request& request) {
    if (request.ssl == nullptr) return {};
    X509* certificate = SSL_get1_peer_certificate(request.ssl);
    std::string name = CommonNameOf(certificate);
    X509_free(certificate);
    return name;
}

// The socket of a plain HTTP request, found by its two addresses among the process's descriptors
// (the server library does not hand it to handlers); -1 when none matches.
int PlainSocketOf(const httplib::Request& request) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        int fd = -1;
        const std::string name = entry.path().filename().string();
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc()) continue;
        sockaddr_storage local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
            local.ss_family != AF_INET || peer.ss_family != AF_INET)
            continue;
        const auto& mine = reinterpret_cast<const sockaddr_in&>(local);
        const auto& theirs = reinterpret_cast<const sockaddr_in&>(peer);
        if (ntohs(mine.sin_port) == request.local_port && ntohs(theirs.sin_port) == request.remote_port)
            return fd;
    }
    return -1;
}

// Shuts the request's connection both ways: the server's answer then goes nowhere, and the client
// sees the connection end without one.
void DropConnection(const httplib::Request& request) {
    const int fd = request.ssl != nullptr ? SSL_get_fd(request.ssl) : PlainSocketOf(request);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

std::string RandomText(size_t bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string text(bytes, 'A');
    std::vector<unsigned char> random(bytes);
    RAND_bytes(random.data(), static_cast<int>(random.size()));
    for (size_t i = 0; i < bytes; ++i) text[i] = kAlphabet[random[i] % (sizeof kAlphabet - 1)];
    return text;
}

std::string IsoTime(int64_t secondsFromNow) {
    const std::time_t when = std::time(nullptr) + secondsFromNow;
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

void OnConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    if (rc == 0) static_cast<LocalCloud*>(self)->OnClientConnected();
}

void OnSubscribe(mosquitto*, void* self, int, int, const int*, const mosquitto_property*) {
    static_cast<LocalCloud*>(self)->OnClientSubscribed();
}

void OnDisconnect(mosquitto*, void* self, int, const mosquitto_property*) {
    static_cast<LocalCloud*>(self)->OnClientDisconnected();
}

void OnMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*) {
    static_cast<LocalCloud*>(self)->OnClientMessage(
        message->topic != nullptr ? message->topic : "",
        std::string(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen)));
}

std::string Base64(const std::string& bytes) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 2]);
        text += kDigits[(group >> 18) & 63];
        text += kDigits[(group >> 12) & 63];
        text += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
        text += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
    }
    return text;
}

bool IsUtf8(const std::string& bytes) {
    try {
        (void)nlohmann::json(bytes).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

// A payload is bytes: one that is not UTF-8 text is listed with its bytes in base64 beside a
// readable form of it.
nlohmann::json MessageJson(const LocalCloud::Message& message) {
    nlohmann::json json = {{"topic", message.topic}, {"via", message.via}, {"thing", message.thing},
                           {"time", message.time}};
    if (IsUtf8(message.payload)) {
        json["payload"] = message.payload;
    } else {
        json["payload"] = nlohmann::json(message.payload).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        json["payload_base64"] = Base64(message.payload);
    }
    if (!IsUtf8(message.topic)) json["topic"] = Base64(message.topic);
    return json;
}

// Ahead of reading a body: a request without a length has none (HTTP/1.1), where the server would
// otherwise wait for the peer to close; and a device body is bytes, never a form to take apart.
void PrepareBody(const httplib::Request& request, bool device) {
    auto& headers = const_cast<httplib::Headers&>(request.headers);
    if ((request.method == "POST" || request.method == "PUT" || request.method == "PATCH") &&
        !request.has_header("Content-Length") && !request.has_header("Transfer-Encoding")) {
        headers.emplace("Content-Length", "0");
    }
    if (device && request.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0) {
        headers.erase("Content-Type");
        headers.emplace("Content-Type", "application/octet-stream");
    }
}

// What the cloud's shadow service adds when a device reads a shadow: the desired members that the
// reported state does not hold (yet), under "state"."delta".
nlohmann::json ShadowDelta(const nlohmann::json& desired, const nlohmann::json& reported) {
    nlohmann::json delta = nlohmann::json::object();
    for (auto it = desired.begin(); it != desired.end(); ++it) {
        const auto found = reported.is_object() ? reported.find(it.key()) : reported.end();
        if (reported.is_object() && found != reported.end()) {
            if (it.value().is_object() && found->is_object()) {
                auto inner = ShadowDelta(it.value(), *found);
                if (!inner.empty()) delta[it.key()] = std::move(inner);
                continue;
            }
            if (*found == it.value()) continue;
        }
        delta[it.key()] = it.value();
    }
    return delta;
}

nlohmann::json WithDelta(nlohmann::json shadow) {
    if (!shadow.is_object() || !shadow.contains("state") || !shadow["state"].is_object()) return shadow;
    auto& state = shadow["state"];
    if (!state.contains("desired") || !state["desired"].is_object()) return shadow;
    auto delta = ShadowDelta(state["desired"], state.value("reported", nlohmann::json::object()));
    if (!delta.empty()) state["delta"] = std::move(delta);
    return shadow;
}

}  // namespace

const std::vector<std::string>& LocalCloud::Endpoints() {
    static const std::vector<std::string> kEndpoints = {"shadow-get", "shadow-update", "shadow-delete", "publish",
                                                        "credentials", "consent-query", "consent-update"};
    return kEndpoints;
}

LocalCloud::LocalCloud(Settings settings) : settings_(std::move(settings)) {}

LocalCloud::~LocalCloud() { Stop(); }

int LocalCloud::ConsentPort() const { return consent_ ? consent_->Port() : 0; }

int LocalCloud::MqttPort() const { return broker_ ? broker_->Port() : 0; }

void LocalCloud::Start() {
    if (started_) return;
    std::filesystem::create_directories(settings_.folder);
    ca_ = std::make_unique<LocalCa>(settings_.folder / "ca");
    const auto tls = settings_.folder / "tls";
    std::filesystem::create_directories(tls);
    {
        IssuedCertificate server = ca_->IssueServer({"localhost", "127.0.0.1"});
        WritePrivateFile(tls / "server.pem", server.certificate);
        WritePrivateFile(tls / "server-key.pem", server.privateKey);
        IssuedCertificate client = ca_->IssueDevice("zelko-local-cloud");
        WritePrivateFile(tls / "cloud-client.pem", client.certificate);
        WritePrivateFile(tls / "cloud-client-key.pem", client.privateKey);
    }

    Broker::Settings brokerSettings;
    brokerSettings.folder = settings_.folder;
    brokerSettings.caFile = ca_->CertificateFile();
    brokerSettings.certificateFile = tls / "server.pem";
    brokerSettings.keyFile = tls / "server-key.pem";
    brokerSettings.port = settings_.mqttPort;
    broker_ = std::make_unique<Broker>(brokerSettings);
    broker_->Start();
    ConnectClient();

    https_ = std::make_unique<httplib::SSLServer>((tls / "server.pem").c_str(), (tls / "server-key.pem").c_str(),
                                                  ca_->CertificateFile().c_str());
    if (!https_->is_valid()) throw std::runtime_error("the HTTPS server cannot load its certificates");
    admin_ = std::make_unique<httplib::Server>();
    admin_->set_payload_max_length(size_t{64} << 20);
    // Small answers go out at once rather than after the peer's delayed acknowledgement.
    KeepConnections(*https_);
    KeepConnections(*admin_);
    // Past the limit the cloud answers itself (413); the server's own backstop catches a chunked body.
    https_->set_payload_max_length(kMaxPayloadBytes * 4);
    https_->set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        PrepareBody(request, true);
        const std::string length = request.get_header_value("Content-Length");
        uint64_t bytes = 0;
        const auto parsed = std::from_chars(length.data(), length.data() + length.size(), bytes);
        if (parsed.ec == std::errc::result_out_of_range || (parsed.ec == std::errc() && bytes > kMaxPayloadBytes)) {
            SendError(response, 413, "Payload exceeds the maximum size of " + std::to_string(kMaxPayloadBytes) + " bytes");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    admin_->set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        PrepareBody(request, false);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    SetUpDeviceRoutes();
    SetUpAdminRoutes();
    consent_ = std::make_unique<ConsentService>(
        [this](auto& endpoint, auto& request, auto& response) { return ApplyFault(endpoint, request, response); });
    consent_->Start(settings_.consentPort, *admin_);
    services_ = std::make_unique<DeviceServices>(*ca_, [this] { return "127.0.0.1:" + std::to_string(MqttPort()); });
    services_->Start(tls / "server.pem", tls / "server-key.pem", settings_.servicesPort, *admin_);
    httpsPort_ = settings_.httpsPort == 0 ? https_->bind_to_any_port("127.0.0.1")
                                          : (https_->bind_to_port("127.0.0.1", settings_.httpsPort) ? settings_.httpsPort : -1);
    adminPort_ = settings_.adminPort == 0 ? admin_->bind_to_any_port("127.0.0.1")
                                          : (admin_->bind_to_port("127.0.0.1", settings_.adminPort) ? settings_.adminPort : -1);
    if (httpsPort_ <= 0 || adminPort_ <= 0) throw std::runtime_error("cannot listen on the HTTPS or admin port");
    httpsThread_ = std::thread([this] { https_->listen_after_bind(); });
    adminThread_ = std::thread([this] { admin_->listen_after_bind(); });
    started_ = true;
}

void LocalCloud::Stop() {
    {
        std::lock_guard lock(mutex_);
        ++faultEpoch_;
    }
    faultsCleared_.notify_all();
    if (https_) https_->stop();
    if (admin_) admin_->stop();
    if (consent_) consent_->Stop();
    if (httpsThread_.joinable()) httpsThread_.join();
    if (adminThread_.joinable()) adminThread_.join();
    if (services_) services_->Stop();
    if (client_ != nullptr) {
        // The loop ends by itself; cancelling it could cut it off inside the TLS library.
        {
            std::lock_guard lock(clientMutex_);
            clientRunning_ = false;
        }
        clientChanged_.notify_all();
        mosquitto_disconnect(client_);
        if (clientThread_.joinable()) clientThread_.join();
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    if (broker_) broker_->Stop();
    started_ = false;
}

void LocalCloud::ConnectClient() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    client_ = mosquitto_new("zelko-local-cloud", true, this);
    if (client_ == nullptr) throw std::runtime_error("mosquitto_new failed");
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    const auto tls = settings_.folder / "tls";
    if (mosquitto_tls_set(client_, ca_->CertificateFile().c_str(), nullptr, (tls / "cloud-client.pem").c_str(),
                          (tls / "cloud-client-key.pem").c_str(), nullptr) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("the cloud's broker client cannot load its certificates");
    mosquitto_connect_v5_callback_set(client_, OnConnect);
    mosquitto_message_v5_callback_set(client_, OnMessage);
    mosquitto_subscribe_v5_callback_set(client_, OnSubscribe);
    mosquitto_disconnect_v5_callback_set(client_, OnDisconnect);
    const int rc = mosquitto_connect(client_, "127.0.0.1", broker_->Port(), 30);
    if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error(std::string("the cloud cannot connect to its broker: ") + mosquitto_strerror(rc));
    // The loop is ours, on a thread of ours: the thread releases the TLS library's per-thread state
    // before it ends (left to the thread's exit, that state was now and then lost), and a restarted
    // broker is reconnected to at once rather than after the library's reconnect delay, during
    // which devices' messages would go unrecorded.
    mosquitto_threaded_set(client_, true);
    {
        std::lock_guard lock(clientMutex_);
        clientRunning_ = true;
        reconnectNow_ = false;
        subscriptions_ = 0;
    }
    clientThread_ = std::thread([this] { RunClientLoop(); });
    WaitForSubscriptions();
}

void LocalCloud::RunClientLoop() {
    std::unique_lock lock(clientMutex_);
    while (clientRunning_) {
        lock.unlock();
        const int rc = mosquitto_loop(client_, 100, 1);
        lock.lock();
        if (rc == MOSQ_ERR_SUCCESS || !clientRunning_) continue;
        // Lost or refused: again within a second, at once when the broker is started again.
        clientChanged_.wait_for(lock, std::chrono::seconds(1), [this] { return !clientRunning_ || reconnectNow_; });
        reconnectNow_ = false;
        if (!clientRunning_) break;
        lock.unlock();
        mosquitto_reconnect(client_);
        lock.lock();
    }
    lock.unlock();
    OPENSSL_thread_stop();
}

void LocalCloud::WaitForSubscriptions() {
    std::unique_lock lock(clientMutex_);
    clientChanged_.wait_for(lock, std::chrono::seconds(5),
                            [this] { return subscriptions_ >= kClientSubscriptions || !clientRunning_; });
}

void LocalCloud::OnClientConnected() {
    {
        std::lock_guard lock(clientMutex_);
        subscriptions_ = 0;
    }
    // No local: what the cloud publishes itself is not a device's message.
    const int options = MQTT_SUB_OPT_NO_LOCAL;
    mosquitto_subscribe_v5(client_, nullptr, "#", 1, options, nullptr);
    mosquitto_subscribe_v5(client_, nullptr, "$aws/#", 1, options, nullptr);
}

void LocalCloud::OnClientSubscribed() {
    {
        std::lock_guard lock(clientMutex_);
        ++subscriptions_;
    }
    clientChanged_.notify_all();
}

void LocalCloud::OnClientDisconnected() {
    std::lock_guard lock(clientMutex_);
    subscriptions_ = 0;
}

void LocalCloud::OnClientMessage(const std::string& topic, const std::string& payload) {
    Record({topic, payload, "mqtt", "", NowMs()});
}

void LocalCloud::Record(Message message) {
    std::lock_guard lock(mutex_);
    if (messages_.size() >= kMaxMessages) messages_.erase(messages_.begin(), messages_.begin() + kMaxMessages / 10);
    messages_.push_back(std::move(message));
}

void LocalCloud::Publish(const std::string& topic, const std::string& payload) {
    if (client_ == nullptr) return;
    mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false,
                         nullptr);
}

nlohmann::json LocalCloud::GetShadow(const std::string& thing, const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = shadows_.find({thing, name});
    return it == shadows_.end() ? nlohmann::json() : it->second;
}

nlohmann::json LocalCloud::UpdateShadow(const std::string& thing, const std::string& name,
                                        const nlohmann::json& update) {
    nlohmann::json accepted;
    {
        std::lock_guard lock(mutex_);
        nlohmann::json stored;
        auto it = shadows_.find({thing, name});
        if (it != shadows_.end()) stored = it->second;
        accepted = shared::iot::ApplyShadowUpdate(stored, update, NowMs() / 1000);
        shadows_[{thing, name}] = std::move(stored);
    }
    Publish(shared::iot::ShadowTopic(thing, name, "update/accepted"), accepted.dump());
    return accepted;
}

bool LocalCloud::DeleteShadow(const std::string& thing, const std::string& name) {
    nlohmann::json deleted;
    {
        std::lock_guard lock(mutex_);
        auto it = shadows_.find({thing, name});
        if (it == shadows_.end()) return false;
        deleted = {{"version", it->second.value("version", 0)}, {"timestamp", NowMs() / 1000}};
        shadows_.erase(it);
    }
    Publish(shared::iot::ShadowTopic(thing, name, "delete/accepted"), deleted.dump());
    return true;
}

std::vector<LocalCloud::Message> LocalCloud::Messages(const std::string& topicPrefix) const {
    std::lock_guard lock(mutex_);
    std::vector<Message> result;
    for (const auto& message : messages_) {
        if (message.topic.rfind(topicPrefix, 0) == 0) result.push_back(message);
    }
    return result;
}

void LocalCloud::ClearMessages() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

void LocalCloud::SetFault(const std::string& endpoint, Fault fault) {
    std::lock_guard lock(mutex_);
    faults_[endpoint] = fault;
}

void LocalCloud::ClearFaults() {
    {
        std::lock_guard lock(mutex_);
        faults_.clear();
        ++faultEpoch_;
    }
    faultsCleared_.notify_all();
}

void LocalCloud::ClearStores() {
    {
        std::lock_guard lock(mutex_);
        shadows_.clear();
        messages_.clear();
        faults_.clear();
        ++faultEpoch_;
    }
    faultsCleared_.notify_all();
    services_->Clear();
    consent_->ClearPurposes();
    if (!BrokerRunning()) StartBroker();
}

void LocalCloud::StopBroker() {
    broker_->Stop();
    std::lock_guard lock(clientMutex_);
    subscriptions_ = 0;
}

void LocalCloud::StartBroker() {
    broker_->Start();
    if (client_ == nullptr) return;
    {
        std::lock_guard lock(clientMutex_);
        if (subscriptions_ < kClientSubscriptions) reconnectNow_ = true;
    }
    clientChanged_.notify_all();
    WaitForSubscriptions();
}

bool LocalCloud::BrokerRunning() const { return broker_ && broker_->Running(); }

bool LocalCloud::ApplyFault(const std::string& endpoint, const httplib::Request& request,
                            httplib::Response& response) {
    Fault fault;
    {
        std::lock_guard lock(mutex_);
        auto it = faults_.find(endpoint);
        if (it == faults_.end()) return false;
        fault = it->second;
        if (it->second.remaining > 0 && --it->second.remaining == 0) faults_.erase(it);
    }
    if (fault.delayMs > 0) {
        // Clearing the faults or stopping ends the delay: a fault that never answers holds a server
        // worker only until then.
        std::unique_lock lock(mutex_);
        const uint64_t epoch = faultEpoch_;
        faultsCleared_.wait_for(lock, std::chrono::milliseconds(fault.delayMs),
                                [&] { return faultEpoch_ != epoch; });
    }
    if (fault.close) {
        DropConnection(request);
        response.status = 500;
        return true;
    }
    if (fault.status == 0) return false;
    if (!fault.body.empty()) {
        response.status = fault.status;
        response.set_content(fault.body, "application/json");
        return true;
    }
    SendError(response, fault.status, "Scripted failure of " + endpoint);
    return true;
}

void LocalCloud::SetUpDeviceRoutes() {
    // The thing a request names must be the one its certificate names.
    auto authorised = [](const httplib::Request& request, httplib::Response& response, const std::string& thing) {
        if (PeerName(request) == thing) return true;
        SendError(response, 403, "The certificate does not belong to thing " + thing);
        return false;
    };

    https_->Get(R"(/things/([^/]+)/shadow)", [this, authorised](const httplib::Request& request,
                                                                   httplib::Response& response) {
        const std::string thing = request.matches[1];
        if (!authorised(request, response, thing) || ApplyFault("shadow-get", request, response)) return;
        const std::string name = request.get_param_value("name");
        const nlohmann::json shadow = GetShadow(thing, name);
        if (shadow.is_null()) return SendError(response, 404, "No shadow exists with name: '" + name + "'");
        SendJson(response, 200, WithDelta(shadow));
    });
    https_->Post(R"(/things/([^/]+)/shadow)", [this, authorised](const httplib::Request& request,
                                                                    httplib::Response& response) {
        const std::string thing = request.matches[1];
        if (!authorised(request, response, thing) || ApplyFault("shadow-update", request, response)) return;
        const auto update = nlohmann::json::parse(request.body, nullptr, false);
        if (update.is_discarded()) return SendError(response, 400, "Payload contains invalid json");
        try {
            SendJson(response, 200, UpdateShadow(thing, request.get_param_value("name"), update));
        } catch (const shared::iot::ShadowUpdateError& e) {
            SendError(response, e.status(), e.what());
        }
    });
    https_->Delete(R"(/things/([^/]+)/shadow)", [this, authorised](const httplib::Request& request,
                                                                      httplib::Response& response) {
        const std::string thing = request.matches[1];
        if (!authorised(request, response, thing) || ApplyFault("shadow-delete", request, response)) return;
        const std::string name = request.get_param_value("name");
        if (!DeleteShadow(thing, name)) return SendError(response, 404, "No shadow exists with name: '" + name + "'");
        SendJson(response, 200, {{"timestamp", NowMs() / 1000}});
    });
    https_->Post(R"(/topics/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
        if (ApplyFault("publish", request, response)) return;
        const std::string topic = request.matches[1];
        Record({topic, request.body, "http", PeerName(request), NowMs()});
        if (!BrokerRunning()) return SendError(response, 503, "The broker is not running");
        Publish(topic, request.body);
        SendJson(response, 200, {{"message", "OK"}, {"traceId", RandomText(16)}});
    });
    https_->Get(R"(/role-aliases/([^/]+)/credentials)", [this](const httplib::Request& request,
                                                               httplib::Response& response) {
        const std::string peer = PeerName(request);
        const std::string thing = request.get_header_value("x-amzn-iot-thingname");
        if (!thing.empty() && thing != peer)
            return SendError(response, 403, "The certificate does not belong to thing " + thing);
        if (ApplyFault("credentials", request, response)) return;
        {
            std::lock_guard lock(mutex_);
            ++credentialSerial_;
        }
        SendJson(response, 200,
                 {{"credentials",
                   {{"accessKeyId", "ASIA" + RandomText(16)},
                    {"secretAccessKey", RandomText(40)},
                    {"sessionToken", RandomText(64)},
                    {"expiration", IsoTime(3600)}}}});
    });
    https_->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        SendError(response, 500, "Internal error");
    });
}

void LocalCloud::SetUpAdminRoutes() {
    admin_->Get("/status", [this](const httplib::Request&, httplib::Response& response) {
        SendJson(response, 200,
                 {{"https_port", httpsPort_}, {"mqtt_port", MqttPort()}, {"admin_port", adminPort_},
                  {"broker_running", BrokerRunning()}, {"ca_file", ca_->CertificateFile().string()},
                  {"folder", settings_.folder.string()}});
    });
    admin_->Get(R"(/shadows/([^/]+)/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        const nlohmann::json shadow = GetShadow(request.matches[1], request.matches[2]);
        if (shadow.is_null()) return SendError(response, 404, "No such shadow");
        SendJson(response, 200, shadow);
    });
    admin_->Put(R"(/shadows/([^/]+)/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        const auto update = nlohmann::json::parse(request.body, nullptr, false);
        if (update.is_discarded()) return SendError(response, 400, "The body is not JSON");
        try {
            SendJson(response, 200, UpdateShadow(request.matches[1], request.matches[2], update));
        } catch (const shared::iot::ShadowUpdateError& e) {
            SendError(response, e.status(), e.what());
        }
    });
    admin_->Delete(R"(/shadows/([^/]+)/([^/]+))", [this](const httplib::Request& request,
                                                        httplib::Response& response) {
        if (!DeleteShadow(request.matches[1], request.matches[2])) return SendError(response, 404, "No such shadow");
        SendJson(response, 200, {{"deleted", true}});
    });
    admin_->Get("/messages", [this](const httplib::Request& request, httplib::Response& response) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& message : Messages(request.get_param_value("topic"))) list.push_back(MessageJson(message));
        SendJson(response, 200, list);
    });
    admin_->Delete("/messages", [this](const httplib::Request&, httplib::Response& response) {
        ClearMessages();
        SendJson(response, 200, {{"cleared", true}});
    });
    admin_->Post("/faults", [this](const httplib::Request& request, httplib::Response& response) {
        const auto body = nlohmann::json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("endpoint") || !body["endpoint"].is_string())
            return SendError(response, 400, "Give {\"endpoint\": name, \"status\", \"count\", \"delay_ms\", \"close\", \"body\"}");
        const std::string endpoint = body["endpoint"];
        const auto& names = Endpoints();
        if (std::find(names.begin(), names.end(), endpoint) == names.end())
            return SendError(response, 400, "Unknown endpoint " + endpoint);
        Fault fault;
        try {
            fault.status = WholeField(body, "status", 0);
            fault.remaining = WholeField(body, "count", 1);
            fault.delayMs = WholeField(body, "delay_ms", 0);
            fault.close = body.value("close", false);
            fault.body = body.value("body", std::string());
        } catch (const std::exception& e) {
            return SendError(response, 400, e.what());
        }
        if (fault.remaining == 0 || fault.delayMs < 0 || (fault.status != 0 && (fault.status < 100 || fault.status > 599)))
            return SendError(response, 400, "count must not be 0, delay_ms not negative, status 100 to 599");
        SetFault(endpoint, fault);
        SendJson(response, 200, body);
    });
    admin_->Delete("/faults", [this](const httplib::Request&, httplib::Response& response) {
        ClearFaults();
        SendJson(response, 200, {{"cleared", true}});
    });
    admin_->Post("/broker/stop", [this](const httplib::Request&, httplib::Response& response) {
        StopBroker();
        SendJson(response, 200, {{"broker_running", false}});
    });
    admin_->Post("/broker/start", [this](const httplib::Request&, httplib::Response& response) {
        try {
            StartBroker();
        } catch (const std::exception& e) {
            return SendError(response, 500, e.what());
        }
        SendJson(response, 200, {{"broker_running", true}});
    });
    admin_->Post("/certificates", [this](const httplib::Request& request, httplib::Response& response) {
        const auto body = nlohmann::json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("thing") || !body["thing"].is_string() ||
            body["thing"].get<std::string>().empty())
            return SendError(response, 400, "Give {\"thing\": name}");
        IssuedCertificate issued = ca_->IssueDevice(body["thing"]);
        SendJson(response, 200,
                 {{"certificate", issued.certificate}, {"privateKey", issued.privateKey}, {"ca", ca_->CertificatePem()}});
    });
    admin_->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        SendError(response, 500, "Internal error");
    });
}

}  // namespace zelko::cloud
