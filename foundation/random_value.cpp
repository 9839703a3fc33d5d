#include "foundation/random_value.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace zelko::plenar::agent {

namespace {

using nlohmann::json;

// The member of an object, raising for a missing key; a value that is no object raises the JSON
// library's type error (305) through its operator[].
const json& Member(const json& object, const char* key) {
    if (object.is_object() && !object.contains(key)) {
        throw std::invalid_argument(std::string("Invalid duration: missing \"") + key + "\"");
    }
    return object[key];
}

template <typename D>
constexpr DurationType TypeOf();
template <>
constexpr DurationType TypeOf<Hours>() {
    return DurationType::Hours;
}
template <>
constexpr DurationType TypeOf<Minutes>() {
    return DurationType::Minutes;
}
template <>
constexpr DurationType TypeOf<Seconds>() {
    return DurationType::Seconds;
}
template <>
constexpr DurationType TypeOf<Milliseconds>() {
    return DurationType::Milliseconds;
}

DurationType UnitOf(const json& duration, const DurationUnitMaps& maps) {
    const auto units = Member(duration, "units").get<std::string>();
    auto it = maps.by_text.find(units);
    if (it == maps.by_text.end()) throw std::invalid_argument("Invalid duration type");
    return it->second;
}

const char* IntervalTypeName(IntervalType type) {
    return type == StartingWithBase ? "StartingWithBase" : "SymetricAroundBase";
}

template <typename Base>
std::shared_ptr<IRandomValue> CreateWithBase(DurationType interval_unit, const json& jittered) {
    switch (interval_unit) {
        case DurationType::Milliseconds:
            return std::make_shared<RandomValue<Base, Milliseconds>>(jittered);
        case DurationType::Seconds:
            if constexpr (!std::is_same_v<Base, Milliseconds>) {
                return std::make_shared<RandomValue<Base, Seconds>>(jittered);
            }
            break;
        case DurationType::Minutes:
            if constexpr (std::is_same_v<Base, Minutes> || std::is_same_v<Base, Hours>) {
                return std::make_shared<RandomValue<Base, Minutes>>(jittered);
            }
            break;
        case DurationType::Hours:
            if constexpr (std::is_same_v<Base, Hours>)
                return std::make_shared<RandomValue<Base, Hours>>(jittered);
            break;
    }
    throw std::invalid_argument("Invalid duration type");
}

}  // namespace

DurationUnitMaps BuildDurationUnitMaps() {
    DurationUnitMaps maps;
    const std::pair<const char*, DurationType> units[] = {
        {"hr", DurationType::Hours},
        {"min", DurationType::Minutes},
        {"sec", DurationType::Seconds},
        {"milli", DurationType::Milliseconds},
    };
    for (const auto& [text, type] : units) {
        maps.by_text.emplace(text, type);
        maps.by_type.emplace(type, text);
    }
    return maps;
}

namespace {

int64_t CountOf(const json& count) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    if (count.is_number_unsigned())
        return count.get<uint64_t>() > uint64_t(kMax) ? kMax : count.get<int64_t>();
    if (count.is_number_float()) {
        const double value = count.get<double>();
        if (std::isnan(value)) throw std::invalid_argument("Invalid duration: the count is not a number");
        // 2^63 as a double: every double below it converts without overflow.
        constexpr double kLimit = 9223372036854775808.0;
        if (value >= kLimit) return kMax;
        if (value <= -kLimit) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(value);
    }
    return count.get<int64_t>();
}

// Milliseconds of a duration, computed in 64-bit integers and saturated at the longest wait either way.
template <typename D>
int64_t SaturatedMs(D duration) {
    constexpr int64_t kFactor = std::chrono::duration_cast<std::chrono::milliseconds>(D(1)).count();
    const int64_t count = duration.count();
    if (count > kMaxDurationMs / kFactor) return kMaxDurationMs;
    if (count < -kMaxDurationMs / kFactor) return -kMaxDurationMs;
    return count * kFactor;
}

}  // namespace

template <typename D>
D DurationFromJson(const json& duration) {
    return D(CountOf(Member(duration, "count")));
}

template <typename D>
json DurationToJson(D duration) {
    const auto maps = BuildDurationUnitMaps();
    return json{{"count", duration.count()}, {"units", maps.by_type.at(TypeOf<D>())}};
}

IntervalType ParseIntervalType(const json& jittered) {
    if (!jittered.contains("interval_type")) return StartingWithBase;
    return jittered["interval_type"].get<std::string>() == "StartingWithBase" ? StartingWithBase
                                                                              : SymetricAroundBase;
}

template <typename Base, typename Interval>
RandomValue<Base, Interval>::RandomValue(const json& jittered)
    : base(DurationFromJson<Base>(Member(jittered, "base_value"))),
      interval(DurationFromJson<Interval>(Member(jittered, "interval"))),
      intervalType(ParseIntervalType(jittered)) {
    std::random_device device;
    engine.seed(device());
}

template <typename Base, typename Interval>
std::optional<std::chrono::milliseconds> RandomValue<Base, Interval>::Next() {
    // Two 32-bit engine outputs make one double in [0, 1).
    const double x = distribution(engine);
    const int64_t base_ms = SaturatedMs(base);
    const int64_t interval_ms = SaturatedMs(interval);
    const double share = intervalType == StartingWithBase ? x : x - 0.5;
    // The interval's part truncates toward zero, so -0.4 ms becomes 0. Both parts lie within the
    // longest wait, so the sum fits; it saturates there too.
    const int64_t value =
        base_ms + static_cast<int64_t>(std::trunc(static_cast<double>(interval_ms) * share));
    return std::chrono::milliseconds(std::clamp(value, -kMaxDurationMs, kMaxDurationMs));
}

template <typename Base, typename Interval>
void RandomValue<Base, Interval>::Reset() {
    std::random_device device;
    engine.seed(device());
    distribution.reset();
}

template <typename Base, typename Interval>
json RandomValue<Base, Interval>::ToJson() const {
    return json{{"base_value", DurationToJson(base)},
                {"interval", DurationToJson(interval)},
                {"interval_type", IntervalTypeName(intervalType)}};
}

std::shared_ptr<IRandomValue> CreateRandomValue(const json& jittered) {
    const auto maps = BuildDurationUnitMaps();
    const DurationType base_unit = UnitOf(Member(jittered, "base_value"), maps);
    const DurationType interval_unit = UnitOf(Member(jittered, "interval"), maps);
    switch (base_unit) {
        case DurationType::Milliseconds:
            return CreateWithBase<Milliseconds>(interval_unit, jittered);
        case DurationType::Seconds:
            return CreateWithBase<Seconds>(interval_unit, jittered);
        case DurationType::Minutes:
            return CreateWithBase<Minutes>(interval_unit, jittered);
        case DurationType::Hours:
            return CreateWithBase<Hours>(interval_unit, jittered);
    }
    throw std::invalid_argument("Invalid duration type");
}

int64_t LargestDrawMs(const json& jittered) {
    const auto maps = BuildDurationUnitMaps();
    const auto ms = [&](const char* key) -> int64_t {
        const json& part = Member(jittered, key);
        switch (UnitOf(part, maps)) {
            case DurationType::Milliseconds:
                return SaturatedMs(DurationFromJson<Milliseconds>(part));
            case DurationType::Seconds:
                return SaturatedMs(DurationFromJson<Seconds>(part));
            case DurationType::Minutes:
                return SaturatedMs(DurationFromJson<Minutes>(part));
            case DurationType::Hours:
                return SaturatedMs(DurationFromJson<Hours>(part));
        }
        throw std::invalid_argument("Invalid duration type");
    };
    const int64_t base = ms("base_value");
    const int64_t interval = std::max<int64_t>(ms("interval"), 0);
    // trunc(interval * x) with x in [0, 1) reaches interval - 1 at most; around the base, with
    // x - 0.5, half the interval rounded up, less one.
    const int64_t share = ParseIntervalType(jittered) == StartingWithBase ? interval - 1 : (interval + 1) / 2 - 1;
    return std::clamp(base + std::max<int64_t>(share, 0), -kMaxDurationMs, kMaxDurationMs);
}

// The ten permitted pairs.
template class RandomValue<Milliseconds, Milliseconds>;
template class RandomValue<Seconds, Milliseconds>;
template class RandomValue<Seconds, Seconds>;
template class RandomValue<Minutes, Milliseconds>;
template class RandomValue<Minutes, Seconds>;
template class RandomValue<Minutes, Minutes>;
template class RandomValue<Hours, Milliseconds>;
template class RandomValue<Hours, Seconds>;
template class RandomValue<Hours, Minutes>;
template class RandomValue<Hours, Hours>;

template Hours DurationFromJson<Hours>(const json&);
template Minutes DurationFromJson<Minutes>(const json&);
template Seconds DurationFromJson<Seconds>(const json&);
template Milliseconds DurationFromJson<Milliseconds>(const json&);
template json DurationToJson<Hours>(Hours);
template json DurationToJson<Minutes>(Minutes);
template json DurationToJson<Seconds>(Seconds);
template json DurationToJson<Milliseconds>(Milliseconds);

}  // namespace zelko::plenar::agent
