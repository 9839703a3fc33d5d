#include "outside/iot/iot_device.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <mosquitto.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "outside/http/http_client.h"
#include "outside/iot/iot_errors.h"

namespace zelko::shared::iot {

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kDefaultMqttPort = 8883;
constexpr int kDefaultDataPort = 8443;
// A credential this close to its expiry is fetched again.
constexpr std::chrono::minutes kCredentialMargin(5);
constexpr size_t kMaxCredentialAnswer = 64 * 1024;

void Wipe(std::string& text) {
    OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

bool IsPem(const std::string& text) { return text.find("-----BEGIN") != std::string::npos; }

bool ReadText(const std::filesystem::path& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return static_cast<bool>(in) || in.eof();
}

// "host", "host:port" or "[v6]:port".
void SplitHostPort(const std::string& text, int defaultPort, std::string& host, int& port) {
    host = text;
    port = defaultPort;
    std::string rest;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close != std::string::npos) {
            host = text.substr(1, close - 1);
            if (close + 1 < text.size() && text[close + 1] == ':') rest = text.substr(close + 2);
        }
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos && text.find(':') == colon) {
        host = text.substr(0, colon);
        rest = text.substr(colon + 1);
    }
    if (!rest.empty()) {
        try {
            size_t used = 0;
            const int value = std::stoi(rest, &used);
            if (used == rest.size() && value > 0 && value < 65536) port = value;
        } catch (...) {
        }
    }
}

std::string UrlEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

IoTResult Failure(error::Error error, int32_t httpCode = 0) {
    IoTResult result;
    result.httpCode = httpCode;
    result.error = std::move(error);
    return result;
}

error::Error MqttError(std::string_view awsName, const std::string& detail, const char* origin,
                       int64_t code = 0, ConnectionFamily family = ConnectionFamily::MqttClientAwsErrors) {
    return MakeConnectionError(family, code, awsName, detail, origin);
}

// The AWS name for a failure of the HTTPS side (libcurl's result code).
std::string_view TransferAwsName(int64_t curlCode) {
    switch (curlCode) {
        case 5:
        case 6:
            return kAwsDnsQueryFailed;
        case 7:
            return kAwsSocketConnectionRefused;
        case 28:
            return kAwsSocketTimeout;
        case 35:
        case 53:
        case 54:
        case 58:
        case 59:
        case 60:
        case 66:
        case 77:
        case 80:
        case 82:
        case 83:
        case 90:
        case 91:
        case 98:
            return kAwsTlsNegotiationFailure;
        default:
            return kAwsSocketClosed;
    }
}

bool IsIpAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string OpenSslErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text;
}

int64_t ParseIsoTime(const std::string& text) {
    std::tm utc{};
    if (strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &utc) == nullptr) return 0;
    return static_cast<int64_t>(timegm(&utc));
}

}  // namespace

class IoTDevice::Impl {
  public:
    Impl(const IotInfo& info);
    ~Impl();

    IoTResult Connect(ConnectionSuccessCallback onSuccess, ConnectionResumeCallback onResume,
                      DisconnectCallback onDisconnect, InterruptCallback onInterrupt, void* context);
    IoTResult Disconnect();
    IoTResult Pub(const std::string& topic, const std::string& message);
    IoTResult Sub(const std::string& topic, const std::string& name, PayloadCallback callback, void* context);
    IoTResult Unsubscribe(const std::string& topic, const std::string& name);
    IoTResult Https(http::HttpMethod method, const std::string& url, const std::string& body, const char* origin,
                    bool keepContent);
    IoTResult GetShadow(const std::string& name);
    IoTResult UpdateShadow(const std::string& name, const std::string& document);
    IoTResult DeleteShadow(const std::string& name);
    IoTResult PublishByHttp(const std::string& topic, const std::string& message);
    std::shared_ptr<IoTCredential> GetCredentials();

    std::atomic<int64_t> timeoutMs{10000};
    std::atomic<int> reconnectMin{1};
    std::atomic<int> reconnectMax{32};

    // mosquitto's thread.
    void OnConnect(int rc, int flags);
    void OnDisconnect(int rc);
    void OnAck(int mid);
    void OnSubscribe(int mid, int count, const int* granted);
    void OnMessage(const mosquitto_message* message);
    void OnLog(int level, const char* text);

  private:
    enum class State { Idle, Connecting, Connected, Interrupted, Closing };
    using Subscriber = std::pair<PayloadCallback, void*>;

    void LoadMaterial(const IotInfo& info);
    SSL_CTX* MakeTlsContext(std::string& failure);
    std::string HttpsBase() const;
    void Post(std::function<void()> work);
    void RunDispatcher();
    void WaitDispatcherIdle();
    // Waits for the acknowledgement of mid (publish, subscribe, unsubscribe); false on time-out.
    bool WaitAck(int mid, bool& refused);
    void Teardown();
    bool HasTlsLog() {
        std::lock_guard lock(mutex_);
        return !lastTlsLog_.empty();
    }

    std::string thing_;
    std::string mqttHost_;
    int mqttPort_ = kDefaultMqttPort;
    std::string credentialEndpoint_;
    std::string credentialPath_;
    std::string dataBase_;
    std::string certificatePem_;
    std::string keyPem_;
    std::string caPem_;
    error::Error materialError_;

    // Connection, guarded by connectMutex_ (one Connect or Disconnect at a time) and mutex_.
    std::mutex connectMutex_;
    std::mutex mutex_;
    std::condition_variable cv_;
    mosquitto* client_ = nullptr;
    State state_ = State::Idle;
    int connackRc_ = -1;
    bool connectFailed_ = false;
    int disconnectRc_ = 0;
    std::string lastTlsLog_;
    ConnectionSuccessCallback onSuccess_ = nullptr;
    ConnectionResumeCallback onResume_ = nullptr;
    DisconnectCallback onDisconnect_ = nullptr;
    InterruptCallback onInterrupt_ = nullptr;
    void* context_ = nullptr;

    // Acknowledgements, guarded by ackMutex_ only (mosquitto calls in with its own locks held).
    std::mutex ackMutex_;
    std::condition_variable ackCv_;
    std::map<int, bool> acked_;  // mid -> refused
    std::set<int> abandoned_;

    // Subscribers by topic filter, guarded by subscribersMutex_.
    std::mutex subscribersMutex_;
    std::map<std::string, std::map<std::string, Subscriber>> subscribers_;

    // The dispatcher: runs every callback of the caller in order, off mosquitto's thread.
    std::mutex dispatchMutex_;
    std::condition_variable dispatchCv_;
    std::deque<std::function<void()>> queue_;
    bool dispatching_ = false;
    bool dispatcherStop_ = false;
    std::pair<std::string, std::string> delivering_;
    std::thread dispatcher_;

    http::HttpClient http_{nullptr, nullptr};
    std::mutex credentialMutex_;
    std::shared_ptr<IoTCredential> credential_;
    int64_t credentialExpiry_ = 0;
};

IoTDevice::Impl::Impl(const IotInfo& info)
    : thing_(info.GetThingName()),
      credentialEndpoint_(info.GetCredentialEndpoint()),
      credentialPath_(info.GetCredentialPath()),
      dispatcher_([this] { RunDispatcher(); }) {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    SplitHostPort(info.GetEndpoint(), kDefaultMqttPort, mqttHost_, mqttPort_);
    dataBase_ = HttpsBase();
    LoadMaterial(info);
}

IoTDevice::Impl::~Impl() {
    // Whoever destroys the device may be half gone already: none of its callbacks runs any more.
    {
        std::lock_guard lock(mutex_);
        onSuccess_ = nullptr;
        onResume_ = nullptr;
        onDisconnect_ = nullptr;
        onInterrupt_ = nullptr;
    }
    {
        std::lock_guard lock(subscribersMutex_);
        subscribers_.clear();
    }
    {
        std::lock_guard lock(dispatchMutex_);
        queue_.clear();
    }
    WaitDispatcherIdle();
    Teardown();
    {
        std::lock_guard lock(dispatchMutex_);
        dispatcherStop_ = true;
        queue_.clear();
    }
    dispatchCv_.notify_all();
    if (dispatcher_.get_id() == std::this_thread::get_id()) {
        dispatcher_.detach();
    } else {
        dispatcher_.join();
    }
    Wipe(keyPem_);
}

std::string IoTDevice::Impl::HttpsBase() const {
    if (!credentialEndpoint_.empty()) {
        std::string host;
        int port = 443;
        SplitHostPort(credentialEndpoint_, 443, host, port);
        return "https://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
               std::to_string(port);
    }
    return "https://" + mqttHost_ + ":" + std::to_string(kDefaultDataPort);
}

void IoTDevice::Impl::LoadMaterial(const IotInfo& info) {
    const char* origin = "IoTDevice";
    const std::string certificate = info.GetCertificate();
    std::string key = info.GetPrivateKey();
    std::filesystem::path keyPath;
    if (IsPem(certificate)) {
        certificatePem_ = certificate;
    } else if (!certificate.empty()) {
        std::filesystem::path path(certificate);
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) {
            keyPath = path / kStorePrivateKeyFile;
            path /= kStoreCertificateFile;
        } else {
            keyPath = path.parent_path() / kStorePrivateKeyFile;
        }
        if (!ReadText(path, certificatePem_) || !IsPem(certificatePem_)) {
            materialError_ = MakeConnectionError(ConnectionFamily::AwsConnectionConfigBuilderErrors, 1,
                                                 kAwsFileValidationFailure,
                                                 "The device certificate cannot be read from " + path.string(),
                                                 origin);
            return;
        }
    }
    if (IsPem(key)) {
        keyPem_ = key;
    } else if (!key.empty() || !keyPath.empty()) {
        const std::filesystem::path path = key.empty() ? keyPath : std::filesystem::path(key);
        if (!ReadText(path, keyPem_) || !IsPem(keyPem_)) {
            Wipe(keyPem_);
            materialError_ = MakeConnectionError(ConnectionFamily::AwsConnectionConfigBuilderErrors, 1,
                                                 kAwsFileValidationFailure,
                                                 "The device private key cannot be read from " + path.string(),
                                                 origin);
            return;
        }
    }
    Wipe(key);
    const std::string root = info.GetRootCA();
    if (IsPem(root)) {
        caPem_ = root;
    } else if (!root.empty() && (!ReadText(root, caPem_) || !IsPem(caPem_))) {
        materialError_ = MakeConnectionError(ConnectionFamily::AwsConnectionConfigBuilderErrors, 1,
                                             kAwsFileValidationFailure, "The root CA cannot be read from " + root,
                                             origin);
        return;
    }
    if (certificatePem_.empty() || keyPem_.empty()) {
        materialError_ = MakeConnectionError(ConnectionFamily::AwsConnectionConfigBuilderErrors, 1,
                                             kAwsFileValidationFailure, "The device has no certificate or key",
                                             origin);
    }
}

SSL_CTX* IoTDevice::Impl::MakeTlsContext(std::string& failure) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        failure = "TLS context: " + OpenSslErrors();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    bool ok = true;
    {
        BIO* bio = BIO_new_mem_buf(certificatePem_.data(), static_cast<int>(certificatePem_.size()));
        X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        ok = certificate != nullptr && SSL_CTX_use_certificate(context, certificate) == 1;
        X509_free(certificate);
        // Intermediate certificates after the first one.
        while (ok) {
            X509* extra = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
            if (extra == nullptr) break;
            if (SSL_CTX_add0_chain_cert(context, extra) != 1) X509_free(extra);
        }
        ERR_clear_error();
        BIO_free(bio);
    }
    if (ok) {
        BIO* bio = BIO_new_mem_buf(keyPem_.data(), static_cast<int>(keyPem_.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        ok = key != nullptr && SSL_CTX_use_PrivateKey(context, key) == 1 && SSL_CTX_check_private_key(context) == 1;
        EVP_PKEY_free(key);
        BIO_free(bio);
    }
    if (!ok) {
        failure = "TLS: the device certificate or key is not usable: " + OpenSslErrors();
        SSL_CTX_free(context);
        return nullptr;
    }
    if (caPem_.empty()) {
        SSL_CTX_set_default_verify_paths(context);
    } else {
        X509_STORE* store = SSL_CTX_get_cert_store(context);
        BIO* bio = BIO_new_mem_buf(caPem_.data(), static_cast<int>(caPem_.size()));
        int added = 0;
        while (X509* ca = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
            if (X509_STORE_add_cert(store, ca) == 1) ++added;
            X509_free(ca);
        }
        ERR_clear_error();
        BIO_free(bio);
        if (added == 0) {
            failure = "TLS: the root CA holds no certificate";
            SSL_CTX_free(context);
            return nullptr;
        }
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // The library's handshake blocks on its socket: bound it with the operation time-out.
    SSL_CTX_set_app_data(context, this);
    SSL_CTX_set_info_callback(context, [](const SSL* ssl, int where, int) {
        if ((where & (SSL_CB_HANDSHAKE_START | SSL_CB_HANDSHAKE_DONE)) == 0) return;
        const int fd = SSL_get_fd(ssl);
        auto* self = static_cast<Impl*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
        if (fd < 0 || self == nullptr) return;
        timeval limit{};
        if ((where & SSL_CB_HANDSHAKE_START) != 0) {
            const int64_t ms = self->timeoutMs.load();
            limit.tv_sec = static_cast<time_t>(ms / 1000);
            limit.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
        }
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    });
    X509_VERIFY_PARAM* parameters = SSL_CTX_get0_param(context);
    if (IsIpAddress(mqttHost_)) {
        X509_VERIFY_PARAM_set1_ip_asc(parameters, mqttHost_.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(parameters, mqttHost_.c_str(), 0);
    }
    return context;
}

void IoTDevice::Impl::Post(std::function<void()> work) {
    {
        std::lock_guard lock(dispatchMutex_);
        if (dispatcherStop_) return;
        queue_.push_back(std::move(work));
    }
    dispatchCv_.notify_all();
}

void IoTDevice::Impl::RunDispatcher() {
    std::unique_lock lock(dispatchMutex_);
    while (true) {
        dispatchCv_.wait(lock, [this] { return dispatcherStop_ || !queue_.empty(); });
        if (dispatcherStop_) return;
        auto work = std::move(queue_.front());
        queue_.pop_front();
        dispatching_ = true;
        lock.unlock();
        work();
        lock.lock();
        dispatching_ = false;
        delivering_ = {};
        dispatchCv_.notify_all();
    }
}

void IoTDevice::Impl::WaitDispatcherIdle() {
    if (std::this_thread::get_id() == dispatcher_.get_id()) return;
    std::unique_lock lock(dispatchMutex_);
    dispatchCv_.wait(lock, [this] { return dispatcherStop_ || (queue_.empty() && !dispatching_); });
}

IoTResult IoTDevice::Impl::Connect(ConnectionSuccessCallback onSuccess, ConnectionResumeCallback onResume,
                                   DisconnectCallback onDisconnect, InterruptCallback onInterrupt, void* context) {
    const char* origin = "IoTDevice::Connect";
    std::lock_guard connectLock(connectMutex_);
    if (materialError_) return Failure(materialError_);
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Connected || state_ == State::Interrupted) return {};
    }
    std::string failure;
    SSL_CTX* tls = MakeTlsContext(failure);
    if (tls == nullptr) {
        return Failure(MqttError(kAwsTlsContextError, failure, origin, 1,
                                 ConnectionFamily::AwsConnectionConfigBuilderErrors));
    }
    mosquitto* client = mosquitto_new(thing_.c_str(), true, this);
    if (client == nullptr) {
        SSL_CTX_free(tls);
        return Failure(MqttError(kAwsSocketClosed, std::string("mosquitto_new: ") + std::strerror(errno), origin, 1));
    }
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(client, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    // Each publish waits for its acknowledgement: Nagle's delay would add to every one.
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_void_option(client, MOSQ_OPT_SSL_CTX, tls);
    SSL_CTX_free(tls);  // mosquitto holds its own reference
    mosquitto_reconnect_delay_set(client, static_cast<unsigned>(reconnectMin.load()),
                                  static_cast<unsigned>(reconnectMax.load()), true);
    mosquitto_connect_with_flags_callback_set(client, [](mosquitto*, void* self, int rc, int flags) {
        static_cast<Impl*>(self)->OnConnect(rc, flags);
    });
    mosquitto_disconnect_callback_set(client, [](mosquitto*, void* self, int rc) { static_cast<Impl*>(self)->OnDisconnect(rc); });
    mosquitto_publish_callback_set(client, [](mosquitto*, void* self, int mid) { static_cast<Impl*>(self)->OnAck(mid); });
    mosquitto_unsubscribe_callback_set(client, [](mosquitto*, void* self, int mid) { static_cast<Impl*>(self)->OnAck(mid); });
    mosquitto_subscribe_callback_set(client, [](mosquitto*, void* self, int mid, int count, const int* granted) {
        static_cast<Impl*>(self)->OnSubscribe(mid, count, granted);
    });
    mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* message) {
        static_cast<Impl*>(self)->OnMessage(message);
    });
    mosquitto_log_callback_set(client, [](mosquitto*, void* self, int level, const char* text) {
        static_cast<Impl*>(self)->OnLog(level, text);
    });
    {
        std::lock_guard lock(mutex_);
        client_ = client;
        state_ = State::Connecting;
        connackRc_ = -1;
        connectFailed_ = false;
        disconnectRc_ = 0;
        lastTlsLog_.clear();
        onSuccess_ = onSuccess;
        onResume_ = onResume;
        onDisconnect_ = onDisconnect;
        onInterrupt_ = onInterrupt;
        context_ = context;
    }

    errno = 0;
    const int rc = mosquitto_connect(client, mqttHost_.c_str(), mqttPort_, kKeepAliveSeconds);
    const int connectErrno = errno;
    error::Error error;
    if (rc == MOSQ_ERR_EAI) {
        error = MqttError(kAwsDnsQueryFailed, "Cannot resolve " + mqttHost_, origin, rc);
    } else if (rc == MOSQ_ERR_ERRNO && (HasTlsLog() || connectErrno == EPROTO)) {
        // The library reports a failed handshake as EPROTO, with or without OpenSSL's words.
        std::lock_guard lock(mutex_);
        error = MqttError(kAwsTlsNegotiationFailure,
                          "TLS handshake failed (" + (lastTlsLog_.empty() ? std::string("protocol error") : lastTlsLog_) + ")",
                          origin, rc);
    } else if (rc == MOSQ_ERR_ERRNO) {
        const int code = connectErrno;
        std::string_view name = kAwsSocketClosed;
        if (code == ECONNREFUSED) name = kAwsSocketConnectionRefused;
        if (code == ETIMEDOUT || code == EAGAIN) name = kAwsSocketTimeout;
        if (code == ENETUNREACH || code == ENETDOWN) name = kAwsSocketNetworkDown;
        if (code == EHOSTUNREACH) name = "AWS_IO_SOCKET_NO_ROUTE_TO_HOST";
        error = MqttError(name, "Cannot connect to " + mqttHost_ + ":" + std::to_string(mqttPort_) + " (" +
                                    std::strerror(code) + ")", origin, code);
    } else if (rc == MOSQ_ERR_TLS) {
        std::lock_guard lock(mutex_);
        error = MqttError(kAwsTlsNegotiationFailure, "TLS handshake failed" + (lastTlsLog_.empty() ? "" : " (" + lastTlsLog_ + ")"), origin, rc);
    } else if (rc != MOSQ_ERR_SUCCESS) {
        error = MqttError(kAwsSocketClosed, std::string("Cannot connect: ") + mosquitto_strerror(rc), origin, rc);
    } else {
        mosquitto_loop_start(client);
        std::unique_lock lock(mutex_);
        const bool answered = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs.load()),
                                           [this] { return connackRc_ >= 0 || connectFailed_; });
        if (answered && connackRc_ == 0) return {};
        if (!answered) {
            error = MqttError(kAwsSocketTimeout, "No answer from the broker at " + mqttHost_ + ":" + std::to_string(mqttPort_), origin, 27);
        } else if (connackRc_ > 0) {
            error = MqttError("AWS_ERROR_MQTT_UNEXPECTED_HANGUP",
                              std::string("The broker refused the connection: ") + mosquitto_connack_string(connackRc_),
                              origin, connackRc_, ConnectionFamily::MqttConnectionErrors);
        } else {
            // Closed after the handshake and before the broker's answer: with TLS 1.3 that is how
            // a refused client certificate shows when the alert itself is lost.
            error = MqttError(kAwsTlsAlertReceived,
                              "TLS: the broker ended the connection before accepting it (" +
                                  (lastTlsLog_.empty() ? std::string(mosquitto_strerror(disconnectRc_)) : lastTlsLog_) +
                                  ")",
                              origin, disconnectRc_);
        }
    }
    Teardown();
    return Failure(error);
}

IoTResult IoTDevice::Impl::Disconnect() {
    std::lock_guard connectLock(connectMutex_);
    Teardown();
    return {};
}

// Ends the connection, lets the disconnect callback run, and forgets the caller's callbacks.
void IoTDevice::Impl::Teardown() {
    mosquitto* client;
    bool wasUp;
    {
        std::lock_guard lock(mutex_);
        client = client_;
        wasUp = state_ == State::Connected || state_ == State::Interrupted;
        if (client == nullptr) return;
        state_ = State::Closing;
    }
    mosquitto_disconnect(client);
    // A connection that never came up (a handshake that hangs) cannot carry the disconnect: cut it,
    // so the loop sees the failure at once instead of at the keep-alive.
    if (!wasUp) {
        const int fd = mosquitto_socket(client);
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
    }
    // Without force the loop ends by itself once the disconnect went out (or at once when there is
    // no connection), so no callback is cut off half way.
    mosquitto_loop_stop(client, false);
    {
        std::lock_guard lock(mutex_);
        if (wasUp && onDisconnect_ != nullptr) {
            DisconnectCallback callback = onDisconnect_;
            void* context = context_;
            Post([callback, context] { callback(context); });
        }
    }
    WaitDispatcherIdle();
    {
        std::lock_guard lock(mutex_);
        onSuccess_ = nullptr;
        onResume_ = nullptr;
        onDisconnect_ = nullptr;
        onInterrupt_ = nullptr;
        context_ = nullptr;
        client_ = nullptr;
        state_ = State::Idle;
    }
    mosquitto_destroy(client);
    {
        std::lock_guard lock(ackMutex_);
        acked_.clear();
        abandoned_.clear();
    }
    ackCv_.notify_all();
}

void IoTDevice::Impl::OnConnect(int rc, int flags) {
    const bool sessionPresent = (flags & 1) != 0;
    std::unique_lock lock(mutex_);
    if (state_ == State::Connecting) {
        connackRc_ = rc;
        // Connected from here on, so a loss before Connect returns is an interruption, not a failure.
        if (rc == 0) state_ = State::Connected;
        cv_.notify_all();
        if (rc == 0 && onSuccess_ != nullptr) {
            auto callback = onSuccess_;
            void* context = context_;
            Post([callback, sessionPresent, context] { callback(sessionPresent, context); });
        }
        return;
    }
    if (state_ != State::Interrupted || rc != 0) return;
    state_ = State::Connected;
    auto callback = onResume_;
    void* context = context_;
    lock.unlock();
    // A clean session forgets the subscriptions: make them again.
    {
        std::lock_guard subscribers(subscribersMutex_);
        for (const auto& [topic, names] : subscribers_) {
            if (!names.empty()) mosquitto_subscribe(client_, nullptr, topic.c_str(), 1);
        }
    }
    if (callback != nullptr) Post([callback, sessionPresent, context] { callback(sessionPresent, context); });
}

void IoTDevice::Impl::OnDisconnect(int rc) {
    std::lock_guard lock(mutex_);
    if (state_ == State::Connecting) {
        connectFailed_ = true;
        disconnectRc_ = rc;
        cv_.notify_all();
        return;
    }
    if (state_ == State::Connected && rc != 0) {
        state_ = State::Interrupted;
        if (onInterrupt_ != nullptr) {
            auto callback = onInterrupt_;
            void* context = context_;
            Post([callback, context] { callback(context); });
        }
    }
}

void IoTDevice::Impl::OnAck(int mid) {
    std::lock_guard lock(ackMutex_);
    if (abandoned_.erase(mid) > 0) return;
    acked_[mid] = false;
    ackCv_.notify_all();
}

void IoTDevice::Impl::OnSubscribe(int mid, int count, const int* granted) {
    std::lock_guard lock(ackMutex_);
    if (abandoned_.erase(mid) > 0) return;
    acked_[mid] = count < 1 || granted == nullptr || granted[0] > 2;
    ackCv_.notify_all();
}

void IoTDevice::Impl::OnLog(int level, const char* text) {
    if (text == nullptr || (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) == 0) return;
    if (std::strstr(text, "SSL") == nullptr && std::strstr(text, "TLS") == nullptr &&
        std::strstr(text, "OpenSSL") == nullptr && std::strstr(text, "certificate") == nullptr)
        return;
    std::lock_guard lock(mutex_);
    if (state_ == State::Connecting && lastTlsLog_.size() < 1000) {
        if (!lastTlsLog_.empty()) lastTlsLog_ += "; ";
        lastTlsLog_ += text;
        // The library goes on retrying a failed handshake without a disconnect: this is the failure.
        connectFailed_ = true;
        cv_.notify_all();
    }
}

void IoTDevice::Impl::OnMessage(const mosquitto_message* message) {
    if (message == nullptr || message->topic == nullptr) return;
    const std::string topic = message->topic;
    const std::string payload(static_cast<const char*>(message->payload),
                              message->payload != nullptr ? static_cast<size_t>(message->payloadlen) : 0);
    std::lock_guard lock(subscribersMutex_);
    for (const auto& [filter, names] : subscribers_) {
        bool matches = false;
        if (mosquitto_topic_matches_sub(filter.c_str(), topic.c_str(), &matches) != MOSQ_ERR_SUCCESS || !matches)
            continue;
        for (const auto& entry : names) {
            const std::pair<std::string, std::string> key{filter, entry.first};
            Post([this, key, topic, payload] {
                Subscriber target{nullptr, nullptr};
                {
                    std::lock_guard subscribers(subscribersMutex_);
                    auto byTopic = subscribers_.find(key.first);
                    if (byTopic == subscribers_.end()) return;
                    auto byName = byTopic->second.find(key.second);
                    if (byName == byTopic->second.end()) return;
                    target = byName->second;
                    std::lock_guard dispatch(dispatchMutex_);
                    delivering_ = key;
                }
                target.first(Payload(topic, payload), target.second);
            });
        }
    }
}

bool IoTDevice::Impl::WaitAck(int mid, bool& refused) {
    std::unique_lock lock(ackMutex_);
    const bool done = ackCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs.load()),
                                      [&] { return acked_.count(mid) > 0; });
    if (!done) {
        abandoned_.insert(mid);
        return false;
    }
    refused = acked_[mid];
    acked_.erase(mid);
    return true;
}

IoTResult IoTDevice::Impl::Pub(const std::string& topic, const std::string& message) {
    const char* origin = "IoTDevice::Pub";
    mosquitto* client;
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::Connected) return Failure(MqttError(kAwsSocketNotConnected, "Not connected", origin, MOSQ_ERR_NO_CONN));
        client = client_;
    }
    int mid = 0;
    const int rc = mosquitto_publish(client, &mid, topic.c_str(), static_cast<int>(message.size()), message.data(), 1,
                                     false);
    if (rc == MOSQ_ERR_NO_CONN) return Failure(MqttError(kAwsSocketNotConnected, "Not connected", origin, rc));
    if (rc != MOSQ_ERR_SUCCESS) return Failure(MqttError(kAwsSocketClosed, std::string("Publish failed: ") + mosquitto_strerror(rc), origin, rc));
    bool refused = false;
    if (!WaitAck(mid, refused))
        return Failure(MqttError(kAwsSocketTimeout, "No acknowledgement for the publish on " + topic, origin, 27));
    return {};
}

IoTResult IoTDevice::Impl::Sub(const std::string& topic, const std::string& name, PayloadCallback callback,
                               void* context) {
    const char* origin = "IoTDevice::Sub";
    if (callback == nullptr || topic.empty() || mosquitto_sub_topic_check(topic.c_str()) != MOSQ_ERR_SUCCESS)
        return Failure(MqttError("AWS_ERROR_MQTT_INVALID_TOPIC", "Invalid subscription to '" + topic + "'", origin, MOSQ_ERR_INVAL));
    mosquitto* client;
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::Connected) return Failure(MqttError(kAwsSocketNotConnected, "Not connected", origin, MOSQ_ERR_NO_CONN));
        client = client_;
    }
    bool first;
    {
        std::lock_guard lock(subscribersMutex_);
        auto& names = subscribers_[topic];
        first = names.empty();
        names[name] = {callback, context};
    }
    if (!first) return {};
    int mid = 0;
    const int rc = mosquitto_subscribe(client, &mid, topic.c_str(), 1);
    bool refused = false;
    error::Error error;
    if (rc != MOSQ_ERR_SUCCESS) {
        error = MqttError(rc == MOSQ_ERR_NO_CONN ? kAwsSocketNotConnected : kAwsSocketClosed,
                          std::string("Subscribe failed: ") + mosquitto_strerror(rc), origin, rc);
    } else if (!WaitAck(mid, refused)) {
        error = MqttError(kAwsSocketTimeout, "No acknowledgement for the subscription to " + topic, origin, 27);
    } else if (refused) {
        error = MqttError("AWS_ERROR_MQTT_UNEXPECTED_HANGUP", "The broker refused the subscription to " + topic, origin, 128,
                          ConnectionFamily::MqttConnectionErrors);
    }
    if (error) {
        std::lock_guard lock(subscribersMutex_);
        auto it = subscribers_.find(topic);
        if (it != subscribers_.end()) {
            it->second.erase(name);
            if (it->second.empty()) subscribers_.erase(it);
        }
        return Failure(error);
    }
    return {};
}

IoTResult IoTDevice::Impl::Unsubscribe(const std::string& topic, const std::string& name) {
    const char* origin = "IoTDevice::Unsubscribe";
    bool last = false;
    {
        std::lock_guard lock(subscribersMutex_);
        auto it = subscribers_.find(topic);
        if (it == subscribers_.end() || it->second.erase(name) == 0) return {};
        if (it->second.empty()) {
            subscribers_.erase(it);
            last = true;
        }
    }
    // A delivery to that subscriber in flight ends before this returns.
    if (std::this_thread::get_id() != dispatcher_.get_id()) {
        std::unique_lock lock(dispatchMutex_);
        const std::pair<std::string, std::string> key{topic, name};
        dispatchCv_.wait(lock, [&] { return dispatcherStop_ || delivering_ != key; });
    }
    if (!last) return {};
    mosquitto* client;
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::Connected) return {};
        client = client_;
    }
    int mid = 0;
    const int rc = mosquitto_unsubscribe(client, &mid, topic.c_str());
    bool refused = false;
    if (rc != MOSQ_ERR_SUCCESS)
        return Failure(MqttError(kAwsSocketClosed, std::string("Unsubscribe failed: ") + mosquitto_strerror(rc), origin, rc));
    if (!WaitAck(mid, refused))
        return Failure(MqttError(kAwsSocketTimeout, "No acknowledgement for leaving " + topic, origin, 27));
    return {};
}

IoTResult IoTDevice::Impl::Https(http::HttpMethod method, const std::string& url, const std::string& body,
                                 const char* origin, bool keepContent) {
    if (materialError_) return Failure(materialError_);
    const long seconds = std::max<long>(1, static_cast<long>((timeoutMs.load() + 999) / 1000));
    http::HttpRequest request(method, url, body, seconds);
    request.SetClientCertificate(certificatePem_, keyPem_);
    if (!caPem_.empty()) request.SetCaCertificate(caPem_);
    if (!body.empty()) request.AddHeader("Content-Type", "application/json");
    request.AddHeader("x-amzn-iot-thingname", thing_);
    http::IHttpResponse* response = nullptr;
    const error::Error transfer = http_.Perform(request, response);
    if (transfer) {
        return Failure(MakeConnectionError(ConnectionFamily::AwsIotErrorCodes, transfer.code(),
                                           TransferAwsName(transfer.code()), transfer.what(), origin));
    }
    IoTResult result;
    result.httpCode = response->GetStatusCode();
    const std::string text(response->GetBody(), response->GetBodySize());
    http::ReleaseHttpResponse(http_.GetAllocator(), response);
    if (result.httpCode < 200 || result.httpCode > 299) {
        result.error = MakeIotHttpError(result.httpCode, text.empty() ? "HTTP status " + std::to_string(result.httpCode) : text, origin);
        return result;
    }
    result.httpCode = 200;
    if (keepContent) result.content = text;
    return result;
}

IoTResult IoTDevice::Impl::GetShadow(const std::string& name) {
    return Https(http::HttpMethod::GET, dataBase_ + "/things/" + UrlEncode(thing_) + "/shadow?name=" + UrlEncode(name),
                 {}, "IoTDevice::GetShadow", true);
}

IoTResult IoTDevice::Impl::UpdateShadow(const std::string& name, const std::string& document) {
    return Https(http::HttpMethod::POST,
                 dataBase_ + "/things/" + UrlEncode(thing_) + "/shadow?name=" + UrlEncode(name), document,
                 "IoTDevice::UpdateShadow", false);
}

IoTResult IoTDevice::Impl::DeleteShadow(const std::string& name) {
    return Https(http::HttpMethod::DEL,
                 dataBase_ + "/things/" + UrlEncode(thing_) + "/shadow?name=" + UrlEncode(name), {},
                 "IoTDevice::DeleteShadow", false);
}

IoTResult IoTDevice::Impl::PublishByHttp(const std::string& topic, const std::string& message) {
    return Https(http::HttpMethod::POST, dataBase_ + "/topics/" + UrlEncode(topic) + "?qos=1", message,
                 "IoTDevice::PublishByHttp", false);
}

std::shared_ptr<IoTCredential> IoTDevice::Impl::GetCredentials() {
    std::lock_guard lock(credentialMutex_);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (credential_ && now + std::chrono::seconds(kCredentialMargin).count() < credentialExpiry_) return credential_;
    credential_.reset();
    std::string host;
    int port = 443;
    SplitHostPort(credentialEndpoint_, 443, host, port);
    if (host.empty()) return nullptr;
    const std::string path = credentialPath_.empty() || credentialPath_.front() == '/' ? credentialPath_ : "/" + credentialPath_;
    IoTResult result = Https(http::HttpMethod::GET, HttpsBase() + path, {}, "IoTDevice::GetCredentials", true);
    if (result.error || !result.content) return nullptr;
    // A credential answer is a few hundred bytes; anything far larger is not one.
    if (result.content->size() > kMaxCredentialAnswer) {
        Wipe(*result.content);
        return nullptr;
    }
    const auto document = nlohmann::json::parse(*result.content, nullptr, false);
    Wipe(*result.content);
    try {
        const auto& values = document.at("credentials");
        std::string access = values.at("accessKeyId").get<std::string>();
        std::string secret = values.at("secretAccessKey").get<std::string>();
        std::string token = values.at("sessionToken").get<std::string>();
        std::string expiration = values.at("expiration").get<std::string>();
        if (access.empty() || secret.empty()) return nullptr;
        credentialExpiry_ = ParseIsoTime(expiration);
        credential_ = std::make_shared<IoTCredential>(error::Error(), std::move(access), std::move(secret),
                                                      std::move(token), std::move(expiration));
        Wipe(secret);
        Wipe(token);
    } catch (const nlohmann::json::exception&) {
        return nullptr;
    }
    return credential_;
}

// The device.

IoTDevice::IoTDevice() = default;

IoTDevice::IoTDevice(const IotInfo* info, http::IHttpClient* httpClient)
    : impl_(std::make_unique<Impl>(info != nullptr ? *info : IotInfo("", "", "", "", "", "", "", "", "", "", "", ""))) {}

IoTDevice::~IoTDevice() = default;

namespace {
IoTResult NoDevice(const char* origin) {
    return Failure(MakeConnectionError(ConnectionFamily::AwsConnectionConfigBuilderErrors, 1, kAwsFileValidationFailure,
                                       "The device has no connection data", origin));
}
}  // namespace

IoTResult IoTDevice::Connect(ConnectionSuccessCallback onSuccess, ConnectionResumeCallback onResume,
                             DisconnectCallback onDisconnect, InterruptCallback onInterrupt, void* context) {
    if (!impl_) return NoDevice("IoTDevice::Connect");
    return impl_->Connect(onSuccess, onResume, onDisconnect, onInterrupt, context);
}
IoTResult IoTDevice::Disconnect() { return impl_ ? impl_->Disconnect() : IoTResult(); }
IoTResult IoTDevice::Pub(const std::string& topic, const std::string& message) {
    return impl_ ? impl_->Pub(topic, message) : NoDevice("IoTDevice::Pub");
}
IoTResult IoTDevice::PublishByHttp(const std::string& topic, const std::string& message) {
    return impl_ ? impl_->PublishByHttp(topic, message) : NoDevice("IoTDevice::PublishByHttp");
}
IoTResult IoTDevice::Sub(const std::string& topic, const std::string& subscriberName, PayloadCallback callback,
                         void* context) {
    return impl_ ? impl_->Sub(topic, subscriberName, callback, context) : NoDevice("IoTDevice::Sub");
}
IoTResult IoTDevice::Unsubscribe(const std::string& topic, const std::string& subscriberName) {
    return impl_ ? impl_->Unsubscribe(topic, subscriberName) : NoDevice("IoTDevice::Unsubscribe");
}
IoTResult IoTDevice::GetShadow(const std::string& shadowName) {
    return impl_ ? impl_->GetShadow(shadowName) : NoDevice("IoTDevice::GetShadow");
}
IoTResult IoTDevice::UpdateShadow(const std::string& shadowName, const std::string& document) {
    return impl_ ? impl_->UpdateShadow(shadowName, document) : NoDevice("IoTDevice::UpdateShadow");
}
IoTResult IoTDevice::DeleteShadow(const std::string& shadowName) {
    return impl_ ? impl_->DeleteShadow(shadowName) : NoDevice("IoTDevice::DeleteShadow");
}
std::shared_ptr<IoTCredential> IoTDevice::GetCredentials() { return impl_ ? impl_->GetCredentials() : nullptr; }

void IoTDevice::SetOperationTimeout(std::chrono::milliseconds timeout) {
    if (impl_) impl_->timeoutMs = std::max<int64_t>(1, timeout.count());
}

void IoTDevice::SetReconnectDelay(std::chrono::seconds min, std::chrono::seconds max) {
    if (!impl_) return;
    impl_->reconnectMin = static_cast<int>(std::max<int64_t>(1, min.count()));
    impl_->reconnectMax = static_cast<int>(std::max<int64_t>(impl_->reconnectMin.load(), max.count()));
}

}  // namespace zelko::shared::iot
