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

template <typename D>
D DurationFromJson(const json& duration) {
    return D(Member(duration, "count").get<typename D::rep>());
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
    // In floating point, so that counts of hours too large for milliseconds in 64 bits saturate
    // instead of overflowing.
    using FloatMs = std::chrono::duration<long double, std::milli>;
    const long double base_ms = std::chrono::duration_cast<FloatMs>(base).count();
    const long double interval_ms = std::chrono::duration_cast<FloatMs>(interval).count();
    const long double share = intervalType == StartingWithBase ? x : x - 0.5;
    // The interval's part truncates toward zero, so -0.4 ms becomes 0.
    const long double value = base_ms + std::trunc(interval_ms * share);
    constexpr long double kLimit = static_cast<long double>(std::numeric_limits<int64_t>::max() / 2);
    return std::chrono::milliseconds(static_cast<int64_t>(std::clamp(value, -kLimit, kLimit)));
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
