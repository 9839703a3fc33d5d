// Sends a control or a request line to the running agent through its control channel:
//   zelko-plenar-agent-control <control> [<event type>]   e.g. 211, or 1 to stop
//   zelko-plenar-agent-control <request words...>         e.g. status, eventlog raise System 506
//   zelko-plenar-agent-control notify network disconnected|connected|auto

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "platform/last_error.h"
#include "platform/service_control.h"

namespace {
constexpr char kServiceName[] = "zelko-plenar-agent-service";

bool IsNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789xXabcdefABCDEF") == std::string::npos &&
           std::isdigit(static_cast<unsigned char>(text[0]));
}
// Decimal or 0x-hexadecimal, at most 32 bits.
bool ParseNumber(const std::string& text, uint32_t& out) {
    try {
        size_t used = 0;
        const unsigned long long value = std::stoull(text, &used, 0);
        if (used != text.size() || value > 0xFFFFFFFFull) return false;
        out = static_cast<uint32_t>(value);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: " << argv[0] << " <control> [<event type>] | <request words...>\n";
        return 2;
    }
    std::string first = argv[1];
    if (IsNumber(first) && argc <= 3 && (argc == 2 || IsNumber(argv[2]))) {
        uint32_t control = 0;
        uint32_t type = 0;
        if (!ParseNumber(first, control) || (argc == 3 && !ParseNumber(argv[2], type))) {
            std::cerr << "not a 32-bit number: " << first << (argc == 3 ? std::string(" ") + argv[2] : "")
                      << "\n";
            return 2;
        }
        if (zelko::platform::ControlService(kServiceName, control, type)) {
            std::cout << "control " << control << " delivered\n";
            return 0;
        }
        uint32_t error = zelko::platform::GetLastError();
        std::cerr << "control " << control << " failed: " << error << " "
                  << zelko::platform::FormatSystemMessage(error);
        return 1;
    }
    std::string request;
    for (int i = 1; i < argc; ++i) request += (i > 1 ? " " : "") + std::string(argv[i]);
    auto answer = zelko::platform::SendServiceRequest(kServiceName, request);
    if (!answer) {
        if (zelko::platform::GetLastError() == zelko::platform::kErrorServiceNotActive) {
            std::cerr << kServiceName << " is not running (no answer on "
                      << zelko::platform::ServiceControlChannelPath(kServiceName).string() << ")\n";
        } else {
            std::cerr << kServiceName << " took the request but gave no answer in time\n";
        }
        return 1;
    }
    std::cout << *answer << "\n";
    return answer->rfind("error", 0) == 0 ? 1 : 0;
}
