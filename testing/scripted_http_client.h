#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "outside/http/http_client.h"

namespace zelko::testing {

// An HTTP client that answers in process: the handler sees each request and gives the status and
// body, or a transfer error. Responses come from the client's allocator, as the real client's do.
class ScriptedHttpClient : public shared::http::IHttpClient {
  public:
    struct Answer {
        int32_t status = 200;
        std::string body;
        shared::error::Error error;  // set: a transfer failure, no response
    };
    using Handler = std::function<Answer(const shared::http::HttpRequest&)>;

    explicit ScriptedHttpClient(Handler handler = {});
    // The allocator's functions count through this object.
    ScriptedHttpClient(const ScriptedHttpClient&) = delete;
    ScriptedHttpClient& operator=(const ScriptedHttpClient&) = delete;
    void SetHandler(Handler handler);

    shared::error::Error Perform(const shared::http::HttpRequest& request,
                                 shared::http::IHttpResponse*& response) override;
    shared::error::Error Perform(const shared::http::HttpRequest& request, shared::http::IHttpResponse*& response,
                                 const shared::http::HttpBodySink& sink) override;
    const shared::http::Allocator& GetAllocator() const override { return allocator_; }

    std::vector<shared::http::HttpRequest> Requests() const;
    // Responses handed out and not yet released.
    int Outstanding() const;

  private:
    shared::http::Allocator allocator_;
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<shared::http::HttpRequest> requests_;
    int outstanding_ = 0;
};

}  // namespace zelko::testing
