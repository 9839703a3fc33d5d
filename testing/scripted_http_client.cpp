#include "testing/scripted_http_client.h"

#include <cstdlib>
#include <new>

namespace zelko::testing {

namespace {

using shared::http::IHttpResponse;

class ScriptedResponse : public IHttpResponse {
  public:
    ScriptedResponse(int32_t status, std::string body) : status_(status), body_(std::move(body)) {}
    int32_t GetStatusCode() const override { return status_; }
    const char* GetBody() const override { return body_.c_str(); }
    size_t GetBodySize() const override { return body_.size(); }
    const char* GetHeader(const char*) const override { return nullptr; }

  private:
    int32_t status_;
    std::string body_;
};

}  // namespace

ScriptedHttpClient::ScriptedHttpClient(Handler handler) : handler_(std::move(handler)) {
    allocator_.allocate = [this](uint64_t size) {
        std::lock_guard lock(mutex_);
        ++outstanding_;
        return std::malloc(size);
    };
    allocator_.free = [this](void* p) {
        std::lock_guard lock(mutex_);
        --outstanding_;
        std::free(p);
    };
}

void ScriptedHttpClient::SetHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

shared::error::Error ScriptedHttpClient::Perform(const shared::http::HttpRequest& request,
                                                 IHttpResponse*& response) {
    return Perform(request, response, {});
}

shared::error::Error ScriptedHttpClient::Perform(const shared::http::HttpRequest& request, IHttpResponse*& response,
                                                 const shared::http::HttpBodySink& sink) {
    response = nullptr;
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        handler = handler_;
    }
    Answer answer = handler ? handler(request) : Answer{404, "", {}};
    if (answer.error) return answer.error;
    if (sink && !answer.body.empty()) {
        sink(answer.body.data(), answer.body.size());
        answer.body.clear();
    }
    void* memory = allocator_.allocate(sizeof(ScriptedResponse));
    response = new (memory) ScriptedResponse(answer.status, std::move(answer.body));
    return {};
}

std::vector<shared::http::HttpRequest> ScriptedHttpClient::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int ScriptedHttpClient::Outstanding() const {
    std::lock_guard lock(mutex_);
    return outstanding_;
}

}  // namespace zelko::testing
