// A retry policy's state file ("zelko-plenar-service-state-<name>.json") as a restarted service
// reads it, then a few waits handed out from it. The first byte picks the policy's type and end
// rule; the rest is the file.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/retry_policy.h"
#include "fuzz/support.h"
#include "platform/clock.h"

namespace {

using nlohmann::json;
using namespace zelko::plenar::agent;

json Fixed(int64_t count, const char* units) {
    return {{"base_value", {{"count", count}, {"units", units}}}, {"interval", {{"count", 0}, {"units", units}}}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const auto folder = zelko::fuzz::Root() / "state";
    zelko::fuzz::ResetFolder(folder);
    zelko::fuzz::WriteFile(folder / "zelko-plenar-service-state-Fuzz.json",
                           std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    // The stored times are read against this clock, so a run does not depend on when it runs.
    zelko::platform::ScopedFakeClock clock(int64_t{1'709'640'000} * zelko::platform::kTicksPerSecond);
    const json policy = {{"type", data[0] & 1 ? "Linear" : "Exp"},
                         {"end_type", (data[0] >> 1) % 3 == 0   ? "Stop"
                                      : (data[0] >> 1) % 3 == 1 ? "Reset"
                                                                : "Infinite"},
                         {"diff_or_base", Fixed(3, "sec")},
                         {"max_delay", Fixed(20, "sec")},
                         {"end_time", Fixed(10, "min")},
                         {"initial_delay", Fixed(1, "sec")}};
    const auto limiter = CreateRateLimiterPolicy(policy, "Fuzz", folder.string());
    for (int i = 0; i < 4; ++i) {
        const auto wait = limiter->Next();
        if (!wait) break;
        clock.Advance(wait->count() % 3'600'000 * zelko::platform::kTicksPerMillisecond);
    }
    (void)limiter->GetCount();
    (void)limiter->ToJson().dump();
    return 0;
}
