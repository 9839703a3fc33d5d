#pragma once

// Access to the local cloud that the CTest fixture started (its ready file is named by the
// environment variable ZELKO_TEST_CLOUD), and small helpers for devices that talk to it.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "outside/http/http_client.h"
#include "outside/iot/iot_device.h"
#include "outside/iot/iot_info.h"

namespace zelko::cloud::test {

struct TestCloud {
    int https = 0;
    int mqtt = 0;
    int admin = 0;
    int services = 0;
    std::string caPem;
};

inline const TestCloud& Cloud() {
    static const TestCloud cloud = [] {
        TestCloud result;
        const char* file = std::getenv("ZELKO_TEST_CLOUD");
        if (file == nullptr) throw std::runtime_error("ZELKO_TEST_CLOUD is not set: run these tests through ctest");
        std::ifstream in(file);
        const auto ready = nlohmann::json::parse(in);
        result.https = ready.at("https_port");
        result.mqtt = ready.at("mqtt_port");
        result.admin = ready.at("admin_port");
        result.services = ready.at("services_port");
        std::ifstream ca(ready.at("ca_file").get<std::string>());
        std::ostringstream text;
        text << ca.rdbuf();
        result.caPem = text.str();
        return result;
    }();
    return cloud;
}

// One request to the admin side; the answer's status and JSON body (null when it has none).
inline std::pair<int, nlohmann::json> Admin(shared::http::HttpMethod method, const std::string& path,
                                            const nlohmann::json& body = nullptr) {
    static shared::http::HttpClient client(nullptr, nullptr);
    shared::http::HttpRequest request(method, "http://127.0.0.1:" + std::to_string(Cloud().admin) + path,
                                      body.is_null() ? std::string() : body.dump(), 10);
    request.AddHeader("Content-Type", "application/json");
    shared::http::IHttpResponse* response = nullptr;
    const auto error = client.Perform(request, response);
    if (error) throw std::runtime_error("admin request failed: " + error.what());
    std::pair<int, nlohmann::json> result{response->GetStatusCode(),
                                          nlohmann::json::parse(response->GetBody(), nullptr, false)};
    shared::http::ReleaseHttpResponse(client.GetAllocator(), response);
    return result;
}

// The messages the cloud recorded under a topic prefix, once one satisfies accept (the cloud's own
// broker client records them a moment after the devices see them); the last list read on time-out.
inline nlohmann::json WaitForRecorded(const std::string& prefix,
                                      const std::function<bool(const nlohmann::json&)>& accept) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (true) {
        const auto messages = Admin(shared::http::HttpMethod::GET, "/messages?topic=" + prefix).second;
        for (const auto& message : messages)
            if (accept(message)) return messages;
        if (std::chrono::steady_clock::now() > deadline) return messages;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Connection data of a new thing with a certificate from the cloud's CA.
inline shared::iot::IotInfo NewThing(const std::string& thing, const std::string& caPem = Cloud().caPem,
                                     int mqttPort = Cloud().mqtt) {
    const auto [status, issued] = Admin(shared::http::HttpMethod::POST, "/certificates", {{"thing", thing}});
    if (status != 200) throw std::runtime_error("no certificate for " + thing);
    return shared::iot::IotInfo("local", "tenant", "127.0.0.1:" + std::to_string(mqttPort), thing,
                                issued.at("certificate"), issued.at("privateKey"), "creds/" + thing, "", caPem,
                                "credentials", "127.0.0.1:" + std::to_string(Cloud().https),
                                "/role-aliases/zelko-device/credentials");
}

inline std::string UniqueName(const std::string& prefix) {
    static int counter = 0;
    return prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

// What the callbacks of a device saw, in order, with the threads they ran on.
struct Events {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> seen;
    std::vector<std::thread::id> threads;

    void Add(std::string event) {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(event));
        threads.push_back(std::this_thread::get_id());
        cv.notify_all();
    }
    bool WaitFor(const std::string& event, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, [&] {
            for (const auto& e : seen)
                if (e == event) return true;
            return false;
        });
    }
    int Count(const std::string& event) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const auto& e : seen) n += e == event ? 1 : 0;
        return n;
    }
    std::vector<std::string> Snapshot() {
        std::lock_guard lock(mutex);
        return seen;
    }

    static void OnSuccess(bool session, void* self) { static_cast<Events*>(self)->Add("success"); }
    static void OnResume(bool session, void* self) { static_cast<Events*>(self)->Add("resume"); }
    static void OnDisconnect(void* self) { static_cast<Events*>(self)->Add("disconnect"); }
    static void OnInterrupt(void* self) { static_cast<Events*>(self)->Add("interrupt"); }
    static void OnPayload(shared::iot::Payload payload, void* self) {
        static_cast<Events*>(self)->Add(std::string(payload.GetTopic()) + "|" + payload.GetContent());
    }
};

inline shared::iot::IoTResult ConnectDevice(shared::iot::IoTDevice& device, Events& events) {
    return device.Connect(Events::OnSuccess, Events::OnResume, Events::OnDisconnect, Events::OnInterrupt, &events);
}

}  // namespace zelko::cloud::test
