#include "foundation/retry_policy.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils_time.h"
#include "platform/clock.h"
#include "platform/file_replace.h"
#include "platform/last_error.h"

namespace zelko::plenar::agent {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kDefaultMaxDelay =
    R"({"base_value": {"count": 4, "units": "hr"}, "interval": {"count": 10, "units": "min"},
        "interval_type": "StartingWithBase"})";
constexpr const char* kDefaultDiffOrBase =
    R"({"base_value": {"count": 3, "units": "sec"}, "interval": {"count": 100, "units": "milli"},
        "interval_type": "StartingWithBase"})";
constexpr const char* kDefaultEndTime =
    R"({"base_value": {"count": 10, "units": "min"}, "interval": {"count": 30, "units": "sec"},
        "interval_type": "StartingWithBase"})";

int64_t ToMs(int64_t ticks) { return ticks / platform::kTicksPerMillisecond; }

uint32_t LastError() { return platform::ErrorFromErrno(errno); }

// The count of the duration's base or interval that is present and no whole number, if any.
const json* MistypedCount(const json& duration) {
    if (!duration.is_object()) return nullptr;
    for (const char* part : {"base_value", "interval"}) {
        const auto member = duration.find(part);
        if (member == duration.end() || !member->is_object()) continue;
        const auto count = member->find("count");
        if (count == member->end()) continue;
        if (count->is_number_integer()) continue;
        if (count->is_number_float() && std::isfinite(count->get<double>()) &&
            count->get<double>() == std::trunc(count->get<double>())) {
            continue;
        }
        return &*count;
    }
    return nullptr;
}

// The count of the duration's base or interval that is below zero, if any. Huge counts need no
// check: they saturate at the longest wait.
const json* NegativeCount(const json& duration) {
    if (!duration.is_object()) return nullptr;
    for (const char* part : {"base_value", "interval"}) {
        const auto member = duration.find(part);
        if (member == duration.end() || !member->is_object()) continue;
        const auto count = member->find("count");
        if (count == member->end() || !count->is_number()) continue;
        if (count->is_number_integer() ? !count->is_number_unsigned() && count->get<int64_t>() < 0
                                       : count->get<double>() < 0) {
            return &*count;
        }
    }
    return nullptr;
}

// A duration of the policy; a count of the wrong type gives the default duration (none for a
// duration without one) with a warning naming the policy and the key. A count below zero damages
// the whole document: it raises, naming the key, and the owner takes its built-in policy. So does a
// later delay or cap that can only draw 0: every attempt would follow the last at once, for ever.
std::shared_ptr<IRandomValue> Duration(const json& policy, const std::string& name, const char* key,
                                       const char* default_text) {
    if (policy.contains(key) && MistypedCount(policy[key]) != nullptr) {
        LOG_WARNING << "Setting \"" << key << "\" of retry policy \"" << name << "\" has a count that is not a whole number ("
                    << policy[key].dump(-1, ' ', false, json::error_handler_t::replace) << "); using "
                    << (default_text ? "the default" : "none");
        return default_text ? CreateRandomValue(json::parse(default_text)) : nullptr;
    }
    if (policy.contains(key)) {
        if (const json* negative = NegativeCount(policy[key])) {
            throw std::invalid_argument(std::string("\"") + key + "\" has a count below zero (" +
                                        negative->dump() + ")");
        }
        auto value = CreateRandomValue(policy[key]);
        const std::string_view which = key;
        if ((which == "diff_or_base" || which == "max_delay") && LargestDrawMs(policy[key]) <= 0) {
            throw std::invalid_argument(std::string("\"") + key + "\" gives no wait (it can only draw 0)");
        }
        return value;
    }
    return default_text ? CreateRandomValue(json::parse(default_text)) : nullptr;
}

constexpr int64_t kMaxDelayMs = kMaxDurationMs;

// A draw below zero (a symmetric interval wider than twice its base) waits nothing.
int64_t Draw(IRandomValue& value) {
    return std::clamp<int64_t>(value.Next().value_or(std::chrono::milliseconds(0)).count(), 0, kMaxDelayMs);
}

// A stored counter: absent gives the fallback; a value that is no whole number in [0, max] (a float
// too big for the counter, a negative number) raises, so the file counts as unreadable.
int64_t StoredCount(const json& doc, const std::string& file, const char* key, int64_t fallback, int64_t max) {
    if (!Settings::Has(doc, key)) return fallback;
    const int64_t value = Settings::Int(doc, file, key, -1, 0, max);
    if (value < 0) throw std::out_of_range(std::string("\"") + key + "\" out of range");
    return value;
}

// A stored time text read as UTC, in whole seconds; fallback when the text is not of the accepted shape.
int64_t TimeFromText(const std::string& text, int64_t fallback) {
    if (!IsIso8601WithOffset(text)) return fallback;
    std::tm fields = ParseTime(text);
    return static_cast<int64_t>(::timegm(&fields)) * platform::kTicksPerSecond;
}

}  // namespace

RateLimiterPolicy::RateLimiterPolicy(std::string name, std::string folder, PolicyEndType endType,
                                     std::shared_ptr<IRandomValue> maxDelay,
                                     std::shared_ptr<IRandomValue> diffOrBase,
                                     std::shared_ptr<IRandomValue> endTime,
                                     std::shared_ptr<IRandomValue> initialDelay, PolicyType type)
    : endType(endType),
      maxDelay(std::move(maxDelay)),
      diffOrBase(std::move(diffOrBase)),
      endTime(std::move(endTime)),
      initialDelay(std::move(initialDelay)),
      type(type),
      firstCallTime(platform::NowTicks()),
      lastCallTime(platform::NowTicks()),
      name(std::move(name)),
      folder(std::move(folder)) {
    LoadPersistedSate();
}

std::optional<std::chrono::milliseconds> RateLimiterPolicy::Next() {
    if (ended) return std::nullopt;
    const int64_t now = platform::NowTicks();
    const int64_t now_ms = ToMs(now);
    const bool first_call = count == 0;
    if (first_call) firstCallTime = lastCallTime = now;
    const int64_t start_ms = ToMs(firstCallTime);
    const int64_t last_ms = ToMs(lastCallTime);
    int64_t due = last_ms + lastDelay;
    if (due > now_ms) return std::chrono::milliseconds(due - now_ms);

    int64_t delay = 0;
    int64_t anchor = 0;
    if (first_call) {
        delay = initialDelay ? Draw(*initialDelay) : 0;
        anchor = now_ms;
    } else if (type == PolicyType::Exp) {
        // Doubling a wait of 0, or holding a cap of 0, would never wait again: a base or cap that
        // drew 0 (a base of 0 with a short interval, a state file left so) is drawn afresh instead.
        if (isMaxedOut && lastDelay > 0) {
            delay = lastDelay;
        } else {
            isMaxedOut = false;
            delay = count == 1 || lastDelay == 0 ? Draw(*diffOrBase) : std::min(2 * lastDelay, kMaxDelayMs);
            const int64_t cap = Draw(*maxDelay);
            if (delay > cap) {
                delay = cap;
                isMaxedOut = cap > 0;
            }
        }
        // Anchored where the previous wait ended, so a late caller waits correspondingly less.
        anchor = last_ms + lastDelay;
    } else {
        delay = Draw(*diffOrBase);
        anchor = last_ms + lastDelay;
    }

    lastDelay = delay;
    due = anchor + delay;
    lastCallTime = now;
    int64_t wait = std::max<int64_t>(due - now_ms, 0);

    if (endType != PolicyEndType::Infinite) {
        const int64_t end = Draw(*endTime);
        if (end < due - start_ms) {
            if (endType == PolicyEndType::Stop) {
                ended = true;
                wait = std::max<int64_t>(start_ms + end - now_ms, 0);
            } else {
                Reset();
                return std::chrono::milliseconds(wait);
            }
        }
    }
    ++count;
    SavePersistedSate();
    return std::chrono::milliseconds(wait);
}

void RateLimiterPolicy::Reset() {
    count = 0;
    isMaxedOut = false;
    ended = false;
    firstCallTime = platform::NowTicks();
    lastDelay = 0;
    lastCallTime = platform::NowTicks();
    SavePersistedSate();
}

json RateLimiterPolicy::ToJson() const {
    json out = json::object();
    out["type"] = type == PolicyType::Linear ? "Linear" : "Exp";
    out["end_type"] = endType == PolicyEndType::Stop    ? "Stop"
                      : endType == PolicyEndType::Reset ? "Reset"
                                                        : "Infinite";
    out["last_delay_count"] = static_cast<uint64_t>(lastDelay);
    if (initialDelay) out["initial_delay"] = initialDelay->ToJson();
    out["diff_or_base"] = diffOrBase->ToJson();
    if (type == PolicyType::Exp && maxDelay) out["maximal_delay"] = maxDelay->ToJson();
    if (endType != PolicyEndType::Infinite && endTime) out["end_time"] = endTime->ToJson();
    return out;
}

void RateLimiterPolicy::LoadPersistedSate() {
    if (name.empty() || folder.empty()) {
        LOG_VERBOSE << "Policy state without name or state folder is not persisted";
        return;
    }
    stateDoc = json::object();
    std::error_code ec;
    errno = 0;
    if (!fs::exists(folder, ec) || ec) {
        if (ec) errno = ec.value();
        LOG_ERROR << "Cannot get the folder path - GetLastError: " << LastError();
        return;
    }
    statePath = fs::path(folder) / ("zelko-plenar-service-state-" + name + ".json");

    bool loadFailureLogged = false;
    auto load_failed = [this, &loadFailureLogged](const std::string& what) {
        if (loadFailureLogged) return;
        loadFailureLogged = true;
        LOG_VERBOSE << "Cannot load the state config file (" << statePath.string()
                    << ") - GetLastError: " << LastError();
        LOG_VERBOSE << what;
    };
    std::ifstream in(statePath);
    if (!in.is_open()) {
        LOG_VERBOSE << "Cannot open the state config file (" << statePath.string()
                    << ") - GetLastError: " << LastError();
    } else {
        json parsed;
        try {
            in >> parsed;
            stateDoc = std::move(parsed);
        } catch (const std::exception& e) {
            load_failed(e.what());
            // A syntax error leaves what the parser had read before it: those values count.
            if (!parsed.is_null()) stateDoc = std::move(parsed);
        }
    }

    const int64_t now = platform::NowTicks();
    const std::string now_text = FormatUtcIso8601(now);
    try {
        // All or nothing: a document that is no object, or a known key of the wrong type, counts
        // as an unreadable file and the policy starts fresh.
        const auto last_call = TimeFromText(stateDoc.value("last_call_time", now_text), now);
        const auto first_call = TimeFromText(stateDoc.value("first_call_time", now_text), now);
        const auto saved_ended = stateDoc.value("ended", ended);
        const auto saved_maxed = stateDoc.value("is_maxed_out", isMaxedOut);
        const std::string file = statePath.string();
        const auto saved_count = StoredCount(stateDoc, file, "count", static_cast<int64_t>(count), Settings::kMaxInt);
        const auto saved_delay = StoredCount(stateDoc, file, "last_delay_count", lastDelay, kMaxDelayMs);
        lastCallTime = last_call;
        firstCallTime = first_call;
        count = static_cast<uint64_t>(saved_count);
        ended = saved_ended;
        isMaxedOut = saved_maxed;
        lastDelay = saved_delay;
    } catch (const std::exception& e) {
        load_failed(e.what());
        stateDoc = json::object();
    }
}

void RateLimiterPolicy::SavePersistedSate() {
    if (name.empty() || folder.empty()) return;
    try {
        if (!stateDoc.is_object()) stateDoc = json::object();
        stateDoc["count"] = count;
        stateDoc["ended"] = ended;
        stateDoc["is_maxed_out"] = isMaxedOut;
        stateDoc["last_call_time"] = FormatUtcIso8601(lastCallTime);
        stateDoc["first_call_time"] = FormatUtcIso8601(firstCallTime);
        stateDoc["last_delay_count"] = static_cast<uint64_t>(lastDelay);
        errno = 0;
        if (statePath.empty() ||
            platform::ReplaceFileContent(statePath, stateDoc.dump(4)) != platform::FileReplace::Ok) {
            LOG_ERROR << "Cannot save the state config file - GetLastError: " << LastError();
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "Cannot save the state config file - GetLastError: " << LastError() << " " << e.what();
    }
}

std::shared_ptr<IRandomValue> CreateRateLimiterPolicy(const json& policy, std::string name,
                                                      std::string folder) {
    const std::string type_text = policy.value("type", std::string("Exp"));
    const std::string end_text = policy.value("end_type", std::string("Reset"));
    const PolicyType type = type_text == "Linear" ? PolicyType::Linear : PolicyType::Exp;
    const PolicyEndType end_type = end_text == "Reset"      ? PolicyEndType::Reset
                                   : end_text == "Infinite" ? PolicyEndType::Infinite
                                                            : PolicyEndType::Stop;
    std::shared_ptr<IRandomValue> max_delay;
    if (type == PolicyType::Exp) max_delay = Duration(policy, name, "max_delay", kDefaultMaxDelay);
    auto diff_or_base = Duration(policy, name, "diff_or_base", kDefaultDiffOrBase);
    std::shared_ptr<IRandomValue> end_time;
    if (end_type != PolicyEndType::Infinite) end_time = Duration(policy, name, "end_time", kDefaultEndTime);
    std::shared_ptr<IRandomValue> initial_delay = Duration(policy, name, "initial_delay", nullptr);
    return std::make_shared<RateLimiterPolicy>(std::move(name), std::move(folder), end_type,
                                               std::move(max_delay), std::move(diff_or_base),
                                               std::move(end_time), std::move(initial_delay), type);
}

}  // namespace zelko::plenar::agent
