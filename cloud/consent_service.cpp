#include "cloud/consent_service.h"

#include <httplib.h>

#include <ctime>
#include <set>
#include <stdexcept>

namespace zelko::cloud {

namespace {

// Larger bodies are not consent requests.
constexpr size_t kMaxBody = 64 * 1024;

void SendJson(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

void SendError(httplib::Response& response, int status, const std::string& message) {
    SendJson(response, status, {{"code", status}, {"message", message}});
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool KnownState(const std::string& state) { return state == "OptedIn" || state == "OptedOut"; }

}  // namespace

const std::vector<std::string>& ConsentService::Endpoints() {
    static const std::vector<std::string> kEndpoints = {"consent-query", "consent-update"};
    return kEndpoints;
}

ConsentService::ConsentService(FaultHook fault) : fault_(std::move(fault)) {}

ConsentService::~ConsentService() { Stop(); }

void ConsentService::Start(int port, httplib::Server& admin) {
    server_ = std::make_unique<httplib::Server>();
    server_->set_payload_max_length(kMaxBody);
    server_->set_tcp_nodelay(true);
    server_->Post("/api/2/consents",
                  [this](const httplib::Request& q, httplib::Response& r) { Query(q, r); });
    server_->Put("/api/2/consents",
                 [this](const httplib::Request& q, httplib::Response& r) { Update(q, r); });
    server_->set_exception_handler([](const httplib::Request&, httplib::Response& response,
                                      std::exception_ptr) { SendError(response, 500, "Internal error"); });
    port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                      : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    if (port_ <= 0) throw std::runtime_error("the consent service cannot listen");
    thread_ = std::thread([this] { server_->listen_after_bind(); });

    admin.Get(R"(/consents/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        const nlohmann::json purposes = Purposes(request.matches[1]);
        if (purposes.is_null()) return SendError(response, 404, "No consent for this device");
        SendJson(response, 200, purposes);
    });
    admin.Put(R"(/consents/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        const auto body = nlohmann::json::parse(request.body, nullptr, false);
        try {
            SendJson(response, 200, SetPurposes(request.matches[1], body));
        } catch (const std::invalid_argument& e) {
            SendError(response, 400, e.what());
        }
    });
    admin.Delete(R"(/consents/([^/]+))",
                 [this](const httplib::Request& request, httplib::Response& response) {
                     if (!DeletePurposes(request.matches[1]))
                         return SendError(response, 404, "No consent for this device");
                     SendJson(response, 200, {{"deleted", true}});
                 });
}

void ConsentService::Stop() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
}

nlohmann::json ConsentService::Purposes(const std::string& deviceId) const {
    std::lock_guard lock(mutex_);
    auto it = purposes_.find(deviceId);
    return it == purposes_.end() ? nlohmann::json() : it->second;
}

nlohmann::json ConsentService::SetPurposes(const std::string& deviceId, const nlohmann::json& purposes) {
    if (!purposes.is_array())
        throw std::invalid_argument(
            "Give an array of purposes: [{\"purposeId\": id, \"state\": state}, ...]");
    nlohmann::json stored = nlohmann::json::array();
    std::lock_guard lock(mutex_);
    for (const auto& purpose : purposes) {
        if (!purpose.is_object()) throw std::invalid_argument("A purpose is not an object");
        for (const auto& [key, value] : purpose.items()) {
            if (!value.is_string()) throw std::invalid_argument("The purpose's " + key + " is not a text");
        }
        if (!purpose.contains("purposeId") || !purpose.contains("state"))
            throw std::invalid_argument("A purpose needs \"purposeId\" and \"state\"");
        nlohmann::json entry = purpose;
        if (!entry.contains("resourceId")) entry["resourceId"] = "consent-" + std::to_string(++serial_);
        entry["deviceId"] = deviceId;
        if (!entry.contains("dateTime")) entry["dateTime"] = UtcNow();
        stored.push_back(std::move(entry));
    }
    purposes_[deviceId] = stored;
    return stored;
}

void ConsentService::ClearPurposes() {
    std::lock_guard lock(mutex_);
    purposes_.clear();
}

bool ConsentService::DeletePurposes(const std::string& deviceId) {
    std::lock_guard lock(mutex_);
    return purposes_.erase(deviceId) > 0;
}

void ConsentService::Query(const httplib::Request& request, httplib::Response& response) {
    if (fault_ && fault_("consent-query", request, response)) return;
    const auto body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("deviceId") || !body["deviceId"].is_string() ||
        !body.contains("purposeIdList") || !body["purposeIdList"].is_array())
        return SendError(response, 400, "Give {\"language\", \"purposeIdList\": [ids], \"deviceId\"}");
    std::set<std::string> asked;
    for (const auto& id : body["purposeIdList"]) {
        if (!id.is_string()) return SendError(response, 400, "A purpose id is not a text");
        asked.insert(id.get<std::string>());
    }
    nlohmann::json answer = nlohmann::json::array();
    std::lock_guard lock(mutex_);
    if (auto it = purposes_.find(body["deviceId"].get<std::string>()); it != purposes_.end()) {
        for (const auto& purpose : it->second) {
            if (asked.count(purpose.value("purposeId", ""))) answer.push_back(purpose);
        }
    }
    SendJson(response, 200, answer);
}

void ConsentService::Update(const httplib::Request& request, httplib::Response& response) {
    if (fault_ && fault_("consent-update", request, response)) return;
    const std::string deviceId = request.get_param_value("deviceId");
    const std::string resourceId = request.get_param_value("resourceId");
    const std::string state = request.get_param_value("state");
    const std::string purposeId = request.get_param_value("purposeId");
    if (!KnownState(state)) return SendError(response, 400, "The state must be OptedIn or OptedOut");
    std::lock_guard lock(mutex_);
    auto it = purposes_.find(deviceId);
    if (it != purposes_.end()) {
        for (auto& purpose : it->second) {
            if (purpose.value("resourceId", "") != resourceId) continue;
            if (purpose.value("purposeId", "") != purposeId)
                return SendError(response, 400, "The resource belongs to another purpose");
            purpose["state"] = state;
            purpose["dateTime"] = UtcNow();
            return SendJson(response, 200, {{"consents", nlohmann::json::array({purpose})}});
        }
    }
    SendError(response, 404, "No consent " + resourceId + " for device " + deviceId);
}

}  // namespace zelko::cloud
