#include "outside/iot/shadow_document.h"

namespace zelko::shared::iot {

namespace {

void MergeInto(nlohmann::json& target, const nlohmann::json& patch) {
    for (auto it = patch.begin(); it != patch.end(); ++it) {
        if (it.value().is_null()) {
            target.erase(it.key());
        } else if (it.value().is_object() && target.contains(it.key()) && target[it.key()].is_object()) {
            MergeInto(target[it.key()], it.value());
        } else {
            target[it.key()] = it.value();
        }
    }
}

}  // namespace

nlohmann::json ApplyShadowUpdate(nlohmann::json& stored, const nlohmann::json& update, int64_t timestamp) {
    if (!update.is_object() || !update.contains("state") || !update["state"].is_object())
        throw ShadowUpdateError(400, "Missing required node: state");
    const nlohmann::json& state = update["state"];
    for (auto it = state.begin(); it != state.end(); ++it) {
        if (it.key() != "desired" && it.key() != "reported")
            throw ShadowUpdateError(400, "State contains an invalid node: " + it.key());
        if (!it.value().is_object() && !it.value().is_null())
            throw ShadowUpdateError(400, "Invalid JSON: " + it.key() + " must be an object or null");
    }
    const int64_t current = stored.is_object() ? stored.value("version", int64_t{0}) : 0;
    if (update.contains("version")) {
        if (!update["version"].is_number_integer()) throw ShadowUpdateError(400, "Invalid version");
        if (update["version"].get<int64_t>() != current) throw ShadowUpdateError(409, "Version conflict");
    }
    nlohmann::json next = stored.is_object() ? stored : nlohmann::json::object();
    if (!next.contains("state") || !next["state"].is_object()) next["state"] = nlohmann::json::object();
    for (auto it = state.begin(); it != state.end(); ++it) {
        nlohmann::json& section = next["state"][it.key()];
        if (it.value().is_null()) {
            next["state"].erase(it.key());
            continue;
        }
        if (!section.is_object()) section = nlohmann::json::object();
        MergeInto(section, it.value());
    }
    next["version"] = current + 1;
    next["timestamp"] = timestamp;
    stored = std::move(next);
    return {{"state", state}, {"version", current + 1}, {"timestamp", timestamp}};
}

std::string ShadowTopic(const std::string& thing, const std::string& shadow, const std::string& suffix) {
    return "$aws/things/" + thing + "/shadow/name/" + shadow + "/" + suffix;
}

}  // namespace zelko::shared::iot
