#pragma once

// Named shadow documents as the IoT service keeps them: {"state": {"desired": {...}, "reported":
// {...}}, "version": N, "timestamp": seconds}. Shared by the cloud stand-ins.

#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace zelko::shared::iot {

// A refused update: status 400 (not a shadow update) or 409 (version conflict).
class ShadowUpdateError : public std::runtime_error {
  public:
    ShadowUpdateError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

  private:
    int status_;
};

// Merges update ({"state": {"desired"|"reported": object or null}, optional "version"}) into stored
// (null when there is no shadow yet): objects merge deeply, a null member removes the member, a
// null "desired" or "reported" removes that section. Returns the accepted document ({"state": the
// update's state, "version", "timestamp"}) and leaves stored with the next version. Throws
// ShadowUpdateError and leaves stored unchanged when the update is refused.
nlohmann::json ApplyShadowUpdate(nlohmann::json& stored, const nlohmann::json& update, int64_t timestamp);

// The "$aws/things/<thing>/shadow/name/<name>/<suffix>" topic.
std::string ShadowTopic(const std::string& thing, const std::string& shadow, const std::string& suffix);

}  // namespace zelko::shared::iot
