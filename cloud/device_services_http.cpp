// The device services over HTTPS and their admin routes.
#include <httplib.h>

#include <cctype>
#include <stdexcept>

#include "cloud/device_services.h"
#include "cloud/kept_connections.h"

namespace zelko::cloud {

namespace {

using nlohmann::json;

void Send(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

std::string Lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

void DeviceServices::Start(const std::filesystem::path& certificateFile, const std::filesystem::path& keyFile, int port,
                           httplib::Server& admin) {
    // No client certificate: these devices hold none yet.
    server_ = std::make_unique<httplib::SSLServer>(certificateFile.c_str(), keyFile.c_str());
    if (!server_->is_valid()) throw std::runtime_error("the device services cannot load their certificates");
    KeepConnections(*server_);
    auto route = [this](const httplib::Request& in, httplib::Response& out) {
        Request request;
        request.method = in.method;
        request.path = in.path;
        for (const auto& [name, value] : in.params) request.query[name] = value;
        for (const auto& [name, value] : in.headers) request.headers[Lower(name)] = value;
        request.body = in.body;
        request.serverAppliesRanges = true;
        const Response answer = Handle(request);
        out.status = answer.status;
        // The server cuts the range out of the whole body; the answer says that it did.
        if (!in.ranges.empty() && answer.status == 200) out.status = 206;
        if (answer.cutAfter >= 0 && static_cast<size_t>(answer.cutAfter) < answer.body.size()) {
            // The length of the whole body is announced; the connection drops after the cut.
            out.set_content_provider(answer.body.size(), answer.contentType,
                                     [body = answer.body, cut = static_cast<size_t>(answer.cutAfter)](
                                         size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset >= cut) return false;
                                         sink.write(body.data() + offset, cut - offset);
                                         return true;
                                     });
            return;
        }
        out.set_content(answer.body, answer.contentType);
    };
    server_->Get(R"(/.*)", route);
    server_->Post(R"(/.*)", route);
    server_->Put(R"(/.*)", route);
    port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1") : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    if (port_ <= 0) throw std::runtime_error("the device services cannot listen");
    thread_ = std::thread([this] { server_->listen_after_bind(); });

    admin.Get("/devices", [this](const httplib::Request&, httplib::Response& response) { Send(response, 200, Devices()); });
    admin.Get("/objects", [this](const httplib::Request&, httplib::Response& response) { Send(response, 200, Objects()); });
    admin.Get("/object-reads", [this](const httplib::Request&, httplib::Response& response) {
        Send(response, 200, ObjectReads());
    });
    // The body is the object's bytes, as they are.
    admin.Put(R"(/objects/([^/]+)/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
        StoreObject(request.matches[1], request.matches[2], request.body);
        Send(response, 200, {{"stored", std::string(request.matches[1]) + "/" + std::string(request.matches[2])},
                             {"size", request.body.size()}});
    });
    admin.Post("/device-faults", [this](const httplib::Request& request, httplib::Response& response) {
        const auto body = json::parse(request.body, nullptr, false);
        try {
            if (!body.is_object() || !body.contains("endpoint") || !body["endpoint"].is_string())
                throw std::invalid_argument("Give {\"endpoint\": name, \"status\", \"count\", \"delay_ms\", \"cut_after\"}");
            Fault fault;
            fault.status = WholeField(body, "status", 0);
            fault.remaining = WholeField(body, "count", 1);
            fault.delayMs = WholeField(body, "delay_ms", 0);
            fault.cutAfter = WholeField(body, "cut_after", -1L);
            if (fault.remaining == 0 || fault.delayMs < 0 || (fault.status != 0 && (fault.status < 100 || fault.status > 599)))
                throw std::invalid_argument("count must not be 0, delay_ms not negative, status 100 to 599");
            SetFault(body["endpoint"].get<std::string>(), fault);
        } catch (const std::exception& e) {
            return Send(response, 400, {{"message", e.what()}, {"endpoints", Endpoints()}});
        }
        Send(response, 200, body);
    });
    admin.Delete("/device-faults", [this](const httplib::Request&, httplib::Response& response) {
        ClearFaults();
        Send(response, 200, {{"cleared", true}});
    });
    admin.Put("/enrollment", [this](const httplib::Request& request, httplib::Response& response) {
        const auto body = json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("not_ready_polls") || !body["not_ready_polls"].is_number_integer())
            return Send(response, 400, {{"message", "Give {\"not_ready_polls\": n}"}});
        SetNotReadyPolls(body["not_ready_polls"].get<int>());
        Send(response, 200, body);
    });
    admin.Put("/onboarding", [this](const httplib::Request& request, httplib::Response& response) {
        const auto body = json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("status") || !body["status"].is_number_integer())
            return Send(response, 400, {{"message", "Give {\"status\": n, \"body\": answer}"}});
        SetOnboardingAnswer(body["status"].get<int>(), body.value("body", json::object()));
        Send(response, 200, body);
    });
    admin.Put("/valve-rules", [this](const httplib::Request& request, httplib::Response& response) {
        const auto body = json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("rules") || !body["rules"].is_array())
            return Send(response, 400, {{"message", "Give {\"rules\": [{\"gun\", \"allow\": [...]}]}"}});
        SetValveRules(body);
        Send(response, 200, body);
    });
}

void DeviceServices::Stop() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

}  // namespace zelko::cloud
