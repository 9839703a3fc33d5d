#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "outside/error/error.h"

namespace zelko::plenar::agent {

// The message of a failed IoT call as shadow failures and collector publish failures carry it: the
// compact JSON {"error": text of the IoT error, "http_code": ..., "iot_code": ...}. Readers search it
// as text ("\"http_code\":404") and the data-limit test parses the inner error text, so the form is fixed.
inline std::string MakeIotFailureText(int32_t http_code, int32_t iot_code,
                                      const shared::error::Error& cause) {
    std::string cause_text(shared::error::Error::ToString(cause, nullptr), '\0');
    shared::error::Error::ToString(cause, cause_text.data());
    nlohmann::json document = {{"error", cause_text}, {"http_code", http_code}, {"iot_code", iot_code}};
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace zelko::plenar::agent
