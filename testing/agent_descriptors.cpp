#include "testing/agent_descriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "cloud/local_ca.h"
#include "foundation/logging.h"
#include "outside/http/http_client.h"

namespace zelko::testing {

namespace fs = std::filesystem;

std::map<int, std::string> OpenDescriptors(int pid) {
    std::map<int, std::string> open;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code unreadable;
        const auto target = fs::read_symlink(entry.path(), unreadable);
        // The listing's own descriptor is gone by the time its link is read.
        if (!unreadable) open[std::stoi(entry.path().filename().string())] = target.string();
    }
    return open;
}

namespace {

// The folder made and named as /proc shows the files in it.
fs::path MadeFolder(const fs::path& folder) {
    fs::create_directories(folder);
    return fs::canonical(folder);
}

struct LogFormat {
    static std::string header() { return {}; }
    static std::string format(const logging::Record& record) { return record.getMessage() + "\n"; }
};

}  // namespace

struct AgentDescriptors::Parts {
    std::optional<cloud::LocalCa> ca;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread serving;
    std::optional<shared::http::HttpClient> client;
    std::unique_ptr<logging::RollingFileAppender<LogFormat>> log;
};

AgentDescriptors::AgentDescriptors(const fs::path& folder)
    : log_(MadeFolder(folder) / "agent.log"),
      library_file_(log_.parent_path() / "library-file"),
      parts_(std::make_unique<Parts>()) {
    library_fd_ = ::open(library_file_.c_str(), O_RDWR | O_CREAT, 0600);
    EXPECT_GE(library_fd_, 0);
    auto& p = *parts_;
    p.ca.emplace(folder / "ca");
    const auto issued = p.ca->IssueServer({"localhost", "127.0.0.1"});
    cloud::WritePrivateFile(folder / "server.pem", issued.certificate);
    cloud::WritePrivateFile(folder / "server-key.pem", issued.privateKey);
    p.server = std::make_unique<httplib::SSLServer>((folder / "server.pem").c_str(),
                                                    (folder / "server-key.pem").c_str());
    p.server->Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("ok", "text/plain");
    });
    const int port = p.server->bind_to_any_port("127.0.0.1");
    p.serving = std::thread([server = p.server.get()] { server->listen_after_bind(); });

    p.client.emplace(nullptr, nullptr);
    shared::http::HttpRequest request(shared::http::HttpMethod::GET,
                                      "https://127.0.0.1:" + std::to_string(port) + "/", "", 10);
    request.SetCaCertificate(p.ca->CertificatePem());
    shared::http::IHttpResponse* response = nullptr;
    const auto failed = p.client->Perform(request, response);
    EXPECT_FALSE(failed) << failed.what();
    EXPECT_TRUE(response != nullptr && response->GetStatusCode() == 200);
    shared::http::ReleaseHttpResponse(p.client->GetAllocator(), response);

    p.log = std::make_unique<logging::RollingFileAppender<LogFormat>>(log_);
    logging::Record record(logging::info, "AgentDescriptors", __LINE__, nullptr);
    record << "the log is open";
    p.log->write(record);

    // Without them HeldBy would find nothing for the wrong reason.
    const auto held = HeldBy(::getpid());
    EXPECT_TRUE(std::any_of(held.begin(), held.end(), [](const std::string& s) {
        return s.find("socket:") != s.npos;
    })) << "the client keeps no connection";
    EXPECT_TRUE(std::any_of(held.begin(), held.end(), [&](const std::string& s) {
        return s.find(log_.string()) != s.npos;
    })) << "the log is not open";
}

AgentDescriptors::~AgentDescriptors() {
    auto& p = *parts_;
    if (library_fd_ >= 0) ::close(library_fd_);
    p.log.reset();
    // The client's kept connection goes first, or the server's stop waits out its keep-alive.
    p.client.reset();
    p.server->stop();
    p.serving.join();
}

std::vector<std::string> AgentDescriptors::Among(const std::vector<std::string>& targets) const {
    std::vector<std::string> theirs;
    for (const auto& target : targets) {
        if (target.rfind("socket:", 0) == 0 || target == log_.string() || target == library_file_.string()) {
            theirs.push_back(target);
        }
    }
    return theirs;
}

std::vector<std::string> AgentDescriptors::HeldBy(int pid) const {
    std::vector<std::string> targets;
    for (const auto& [fd, target] : OpenDescriptors(pid)) targets.push_back(target);
    return Among(targets);
}

}  // namespace zelko::testing
