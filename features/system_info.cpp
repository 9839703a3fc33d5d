#include "features/system_info.h"

#include <cstdint>
#include <exception>

#include "foundation/logging.h"
#include "platform/last_error.h"
#include "platform/network.h"
#include "platform/system_facts.h"

namespace zelko::plenar::agent {

namespace {
constexpr size_t kMessageMaxChars = 2048;
}

std::string FormatSystemMessage(uint32_t code) {
    std::string text = platform::FormatSystemMessage(code);
    if (text.empty()) return "No message available for given error code\r\n";
    if (text.size() > kMessageMaxChars) text.resize(kMessageMaxChars);
    return text;
}

bool SystemInfo::HasOOBECompleted() {
    int32_t completed = 0;
    if (platform::QueryOutOfBoxSetupComplete(&completed)) {
        LOG_DEBUG << "HasOOBECompleted detected via win32 OOBEComplete method: OOBE completed = "
                  << completed;
    } else {
        completed = 0;
        LOG_ERROR << "OOBEComplete function failed. Error code: " << platform::GetLastError();
    }
    LOG_INFO << "HasOOBECompleted result: " << completed;
    return completed != 0;
}

bool SystemInfo::HasClockSynchronized() {
    try {
        uint32_t adjustment = 0;
        uint32_t increment = 0;
        int32_t adjustment_disabled = 1;
        if (platform::QuerySystemTimeAdjustment(&adjustment, &increment, &adjustment_disabled)) {
            LOG_DEBUG << "HasClockSynchronized detected via win32 GetSystemTimeAdjustment method";
        } else {
            LOG_WARNING << "Failed checking system clock sync with GetSystemTimeAdjustment: "
                        << FormatSystemMessage(platform::GetLastError());
        }
        const bool synchronized = adjustment != 0 || adjustment_disabled == 0;
        LOG_INFO << "HasClockSynchronized detected: " << (synchronized ? 1 : 0);
        return synchronized;
    } catch (const std::exception& e) {
        LOG_ERROR
            << "Exception caught detecting if system clock is synchronized (defaulting to false -> not in "
               "sync): "
            << e.what();
    } catch (...) {
        LOG_ERROR
            << "Unknown exception caught detecting if system clock is synchronized (defaulting to false -> "
               "not in sync)";
    }
    return false;
}

bool SystemInfo::HasInternetConnectivity() {
    try {
        uint32_t flags = 0;
        std::string problem;
        const bool connected = platform::QueryInternetConnectedState(&flags, &problem);
        if (!problem.empty()) {
            LOG_WARNING << "Network connectivity override: " << problem;
        }
        if (!connected) {
            LOG_WARNING << "InternetGetConnectedState set error: "
                        << FormatSystemMessage(platform::GetLastError());
        }
        LOG_INFO << "HasInternetConnectivity detected: " << (connected ? 1 : 0);
        return connected;
    } catch (const std::exception& e) {
        LOG_ERROR
            << "Exception caught detecting internet connectivity (defaulting to false -> not connected): "
            << e.what();
    } catch (...) {
        LOG_ERROR << "Unknown exception caught detecting internet connectivity (defaulting to false -> not "
                     "connected)";
    }
    return false;
}

}  // namespace zelko::plenar::agent
