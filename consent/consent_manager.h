#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/allocator.h"
#include "foundation/registry_values.h"
#include "outside/http/http_client.h"
#include "platform/registry.h"

namespace zelko::plenar::agent {

// One consent purpose of one device as the consent service describes it; a key the service
// leaves out is "".
struct Purpose {
    std::string resourceId;
    std::string tenantId;
    std::string state;
    std::string organization;
    std::string purposeId;
    std::string purposeResourceId;
    std::string purposeVersion;
    std::string originType;
    std::string originId;
    std::string programId;
    std::string verbiageType;
    std::string verbiageValue;
    std::string verbiageLocale;
    std::string deviceId;
    std::string processingBasis;
    std::string dateTime;

    friend bool operator==(const Purpose&, const Purpose&) = default;
};

// The client side of the consent service (query and update of purposes), and the registry
// helpers: consent values and the agent's own keys are read and written as text. The registry
// helpers are safe on any thread and keep no state.
class ConsentManager {
  public:
    // host: the service's base address, ending in "/".
    // requestTimeoutSeconds bounds each whole request: the step runs on the scheduler's worker, and a
    // service that does not answer must not hold it longer than other cloud requests do.
    static constexpr long kRequestTimeoutSeconds = 60;
    explicit ConsentManager(std::string host = {}, long requestTimeoutSeconds = kRequestTimeoutSeconds)
        : host(std::move(host)), requestTimeoutSeconds(requestTimeoutSeconds) {}
    // deadline: steady-clock nanoseconds by which every request must be over (0: none); a request
    // that would start after it is not sent. cancel, when given, ends a request in progress.
    ConsentManager(std::string host, int64_t deadline, std::shared_ptr<shared::http::HttpCancel> cancel)
        : host(std::move(host)),
          requestTimeoutSeconds(kRequestTimeoutSeconds),
          deadline(deadline),
          cancel(std::move(cancel)) {}

    // {"language": "en", "purposeIdList": ["a","b"], "deviceId": "..."}, texts JSON-escaped.
    static std::string CreateQueryPayload(const std::string& language, const std::string& deviceId,
                                          const std::vector<std::string>& purposeIds);
    // language=..&country=..&deviceId=..&resourceId=..&state=..&purposeId=.., values URL-encoded.
    static std::string CreateQueryPayload(const std::string& language, const std::string& country,
                                          const std::string& deviceId, const std::string& resourceId,
                                          const std::string& state, const std::string& purposeId);

    // The query request; the answer's body on status 200, else "".
    std::string GetPurposeMetadata(const std::string& payload,
                                   const std::shared_ptr<shared::http::IHttpClient>& httpClient) const;
    // The update request; the answer's body on status 200, else "".
    std::string SetSpecificPurposeMetada(const std::string& query,
                                         const std::shared_ptr<shared::http::IHttpClient>& httpClient) const;
    // The purposes of a JSON text, in its own order; on a failure those read before it.
    static std::vector<Purpose> DeserializePurposeList(const std::string& text);

    std::string host;
    long requestTimeoutSeconds;
    int64_t deadline = 0;
    std::shared_ptr<shared::http::HttpCancel> cancel;

    // ReadRegistryValueText and WriteRegistryStringValue under the consent manager's names.
    static std::string ReadRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                          const std::string& valueName);
    static int32_t WriteRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                       const std::string& valueName, const std::string& value);
    // As above for several values, written to the key in one go.
    static int32_t WriteRegistrySubKeys(platform::RegistryHive hive, const std::string& subKey,
                                        const std::vector<std::pair<std::string, std::string>>& values);
};

// Gives an answer of Perform back to the client's allocator; null is fine. Never raises.
void ReleaseResponse(const shared::http::Allocator& allocator, shared::http::IHttpResponse* response);

}  // namespace zelko::plenar::agent
