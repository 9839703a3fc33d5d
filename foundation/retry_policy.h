#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "foundation/random_value.h"

namespace zelko::plenar::agent {

enum class PolicyType : int32_t { Exp = 0, Linear = 1 };
enum class PolicyEndType : int32_t { Stop = 0, Reset = 1, Infinite = 2 };

// How long one named activity waits before its next attempt: a first delay, then delays that
// double up to a cap (Exp) or are drawn afresh (Linear); after a total time it stops, starts over
// or goes on for ever. Its counters live in "zelko-plenar-service-state-<name>.json" in the folder,
// so a restarted service resumes its back-off. Not thread-safe: one caller at a time.
class RateLimiterPolicy : public IRandomValue {
  public:
    RateLimiterPolicy(std::string name, std::string folder, PolicyEndType endType,
                      std::shared_ptr<IRandomValue> maxDelay, std::shared_ptr<IRandomValue> diffOrBase,
                      std::shared_ptr<IRandomValue> endTime, std::shared_ptr<IRandomValue> initialDelay,
                      PolicyType type);
    ~RateLimiterPolicy() override = default;

    // The wait before the next attempt, or no value once a Stop policy has ended. A call before
    // the previous wait has passed returns what is left of it and changes nothing.
    std::optional<std::chrono::milliseconds> Next() override;
    void Reset() override;
    uint64_t GetCount() override { return count; }
    nlohmann::json ToJson() const override;

    void LoadPersistedSate();
    void SavePersistedSate();

  private:
    PolicyEndType endType;
    std::shared_ptr<IRandomValue> maxDelay;
    std::shared_ptr<IRandomValue> diffOrBase;
    std::shared_ptr<IRandomValue> endTime;
    std::shared_ptr<IRandomValue> initialDelay;
    PolicyType type;
    uint64_t count = 0;
    bool isMaxedOut = false;
    bool ended = false;
    int64_t lastDelay = 0;      // milliseconds
    int64_t firstCallTime = 0;  // 100-ns ticks since 1970
    int64_t lastCallTime = 0;
    std::string name;
    std::string folder;
    std::filesystem::path statePath;
    nlohmann::json stateDoc;
};

// Reads a policy document key by key with defaults. A document that is not an object, or a
// "type"/"end_type" that is not a string, raises the JSON library's type error; a duration with a
// count that is no whole number is that duration's default (initial delay: none) with a warning;
// a count below zero, or a "diff_or_base" or "max_delay" that can only be 0, raises
// std::invalid_argument naming the key; other bad durations raise as CreateRandomValue does; counts
// too large for a wait saturate at the longest one. An empty name or folder gives a policy without
// a state file.
std::shared_ptr<IRandomValue> CreateRateLimiterPolicy(const nlohmann::json& policy, std::string name,
                                                      std::string folder);

}  // namespace zelko::plenar::agent
