#pragma once

// An HTTP client that records each request and answers from a script, and a device whose system
// UUID the test chooses.

#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "outside/http/http_client.h"
#include "outside/http/http_errors.h"
#include "testing/fake_device_info.h"

namespace zelko::plenar::agent::test {

struct Answer {
    int status = 200;  // 0: no answer (a transfer error)
    std::string body;
};

class FakeHttpClient : public shared::http::IHttpClient {
  public:
    struct Sent {
        shared::http::HttpMethod method;
        std::string url;
        std::string body;
        long timeout;
        std::vector<std::pair<std::string, std::string>> headers;
    };

    std::function<Answer(const Sent&)> answer = [](const Sent&) { return Answer{404, ""}; };

    shared::error::Error Perform(const shared::http::HttpRequest& request,
                                 shared::http::IHttpResponse*& response) override {
        Sent sent{request.GetMethod(), request.GetUrl(), request.GetBody(), request.GetTimeout(),
                  request.GetHeaders()};
        {
            std::lock_guard lock(mutex);
            requests.push_back(sent);
        }
        const Answer reply = answer(sent);
        response = nullptr;
        if (reply.status == 0)
            return shared::http::MakeTransferError(shared::http::TransferError::CouldNotConnect, "down");
        void* memory = allocator_.allocate(sizeof(Response));
        response = new (memory) Response(reply.status, reply.body);
        ++live;
        return {};
    }
    shared::error::Error Perform(const shared::http::HttpRequest& request,
                                 shared::http::IHttpResponse*& response,
                                 const shared::http::HttpBodySink&) override {
        return Perform(request, response);
    }
    const shared::http::Allocator& GetAllocator() const override { return allocator_; }

    std::vector<Sent> Requests() {
        std::lock_guard lock(mutex);
        return requests;
    }
    std::vector<Sent> Updates() {
        std::vector<Sent> updates;
        for (const auto& sent : Requests())
            if (sent.method == shared::http::HttpMethod::PUT) updates.push_back(sent);
        return updates;
    }

    int live = 0;  // responses handed out and not yet released through the allocator

  private:
    class Response : public shared::http::IHttpResponse {
      public:
        Response(int status, std::string body) : status_(status), body_(std::move(body)) {}
        int32_t GetStatusCode() const override { return status_; }
        const char* GetBody() const override { return body_.c_str(); }
        size_t GetBodySize() const override { return body_.size(); }
        const char* GetHeader(const char*) const override { return nullptr; }

      private:
        int status_;
        std::string body_;
    };

    shared::http::Allocator allocator_ = [this] {
        shared::http::Allocator a;
        a.free = [this](void* p) {
            --live;
            std::free(p);
        };
        return a;
    }();
    std::mutex mutex;
    std::vector<Sent> requests;
};

class FakeDeviceInfo : public zelko::testing::BlankDeviceInfo {
  public:
    explicit FakeDeviceInfo(std::string uuid) { systemUuid = std::move(uuid); }
};

}  // namespace zelko::plenar::agent::test
