#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>

namespace zelko::plenar::agent {

class INextValue {
  public:
    virtual ~INextValue() = default;
    // The next waiting time; no value when there is none (an ended policy).
    virtual std::optional<std::chrono::milliseconds> Next() = 0;
    virtual void Reset() = 0;
    virtual uint64_t GetCount() = 0;
};

class IJsonSerializable {
  public:
    virtual ~IJsonSerializable() = default;
    virtual nlohmann::json ToJson() const = 0;
};

class IRandomValue : public INextValue, public IJsonSerializable {};

// Units of a duration in JSON ({"count": n, "units": "hr" | "min" | "sec" | "milli"}).
enum class DurationType { Hours, Minutes, Seconds, Milliseconds };

enum IntervalType : int32_t { SymetricAroundBase = 0, StartingWithBase = 1 };

// Every count is 64-bit: a count of hours or minutes beyond 32 bits must not wrap round to a
// negative (no) wait.
using Hours = std::chrono::duration<int64_t, std::ratio<3600>>;
using Minutes = std::chrono::duration<int64_t, std::ratio<60>>;
using Seconds = std::chrono::duration<int64_t>;
using Milliseconds = std::chrono::duration<int64_t, std::milli>;

// Longest wait a duration gives, in milliseconds (about 285 000 years): far beyond any
// configuration, and small enough that sums with times and doublings stay within 64 bits. Larger
// counts, in any unit, saturate here.
inline constexpr int64_t kMaxDurationMs = int64_t{1} << 53;

struct DurationUnitMaps {
    std::map<std::string, DurationType> by_text;
    std::map<DurationType, std::string> by_type;
};
DurationUnitMaps BuildDurationUnitMaps();

// The "count" of a duration object in the duration's own unit, as a 64-bit integer: a larger
// number (also a float or an unsigned one) saturates, a fraction is dropped, a non-number raises
// the JSON library's type error.
template <typename D>
D DurationFromJson(const nlohmann::json& duration);
template <typename D>
nlohmann::json DurationToJson(D duration);

// "interval_type" of a jittered duration: absent or "StartingWithBase" -> StartingWithBase, any
// other text -> SymetricAroundBase.
IntervalType ParseIntervalType(const nlohmann::json& jittered);

// A base duration plus a random share of an interval, drawn on every Next:
// StartingWithBase spreads over [base, base + interval), SymetricAroundBase over half an interval
// either side of the base. One instance per permitted pair of units (the interval no coarser
// than the base).
template <typename Base, typename Interval>
class RandomValue : public IRandomValue {
  public:
    explicit RandomValue(const nlohmann::json& jittered);

    std::optional<std::chrono::milliseconds> Next() override;
    void Reset() override;
    uint64_t GetCount() override { return 0; }
    nlohmann::json ToJson() const override;

  private:
    Base base;
    Interval interval;
    IntervalType intervalType;
    std::mt19937 engine;
    std::uniform_real_distribution<double> distribution{0.0, 1.0};
};

// Builds the RandomValue for the jittered-duration document. Raises the JSON library's type errors
// for values of the wrong type and std::invalid_argument "Invalid duration type" for an unknown
// unit or pair of units (also for a missing key).
std::shared_ptr<IRandomValue> CreateRandomValue(const nlohmann::json& jittered);

// The longest wait, in milliseconds, that a jittered duration with counts of 0 or more can draw;
// 0 when every draw is 0 (a base of 0 and an interval of 1 ms, say). Raises as CreateRandomValue.
int64_t LargestDrawMs(const nlohmann::json& jittered);

}  // namespace zelko::plenar::agent
