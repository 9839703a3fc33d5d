#include "outside/http/http_client.h"

#include "outside/http/http_errors.h"

namespace zelko::shared::http {

HttpClient::HttpClient(const Allocator* allocator, device::IDeviceInfo* deviceInfo)
    : allocator_(allocator != nullptr ? allocator : &own_), userAgent_("zelko-http-client/1.0") {}

HttpClient::~HttpClient() = default;

error::Error HttpClient::Perform(const HttpRequest& request, IHttpResponse*& response) {
    return Perform(request, response, HttpBodySink());
}

error::Error HttpClient::Perform(const HttpRequest& request, IHttpResponse*& response, const HttpBodySink& sink) {
    response = nullptr;
    return MakeTransferError(2, "not built yet", "HttpClient::Perform");
}

const Allocator& HttpClient::GetAllocator() const { return *allocator_; }

void ReleaseHttpResponse(const Allocator& allocator, IHttpResponse*& response) {
    if (response == nullptr) return;
    response->~IHttpResponse();
    allocator.free(response);
    response = nullptr;
}

}  // namespace zelko::shared::http
