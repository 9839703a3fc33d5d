// A request line on the service's control channel, served by the running dispatcher with the
// request verbs the agent registers ("notify", "eventlog"); controls reach a handler that reads
// their event data as far as the data's own size says.
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/support.h"
#include "platform/last_error.h"
#include "platform/notifications.h"
#include "platform/service_control.h"
#include "service/service.h"

namespace {

namespace platform = zelko::platform;

std::string Name() { return "zelko-fuzz-control-" + std::to_string(::getpid()); }

uint32_t Handler(uint32_t control, uint32_t event_type, void* event_data, void*) {
    volatile uint32_t sum = control + event_type;
    if (control == platform::kServiceControlDeviceEvent && event_data != nullptr) {
        platform::DeviceBroadcastHeader header;
        std::memcpy(&header, event_data, sizeof header);
        const auto* bytes = static_cast<const unsigned char*>(event_data);
        for (uint32_t i = 0; i < header.dbch_size; ++i) sum = sum + bytes[i];
    }
    return platform::kNoError;
}

void Start() {
    static std::mutex mutex;
    static std::condition_variable ready;
    static bool running = false;
    // The dispatcher serves the channel on this thread for the rest of the process.
    std::thread([&] {
        platform::StartServiceCtrlDispatcher(Name(), [&] {
            auto handle = platform::RegisterServiceCtrlHandlerEx(Name(), &Handler, nullptr);
            platform::ServiceStatus status;
            status.dwCurrentState = platform::kServiceRunning;
            status.dwControlsAccepted =
                platform::kServiceAcceptStop | platform::kServiceAcceptShutdown | platform::kServiceAcceptPowerEvent;
            platform::SetServiceStatus(handle, status);
            platform::SetServiceRequestHandler("notify", [](const std::vector<std::string>& words) {
                std::string command;
                for (const auto& word : words) command += (command.empty() ? "" : " ") + word;
                std::string error;
                if (!platform::InjectNotificationCommand(command, &error)) return "error " + error;
                return std::string("ok");
            });
            platform::SetServiceRequestHandler("eventlog", zelko::plenar::agent::HandleEventLogRequest);
            {
                std::lock_guard lock(mutex);
                running = true;
                ready.notify_all();
            }
            std::mutex forever;
            std::condition_variable never;
            std::unique_lock hold(forever);
            never.wait(hold, [] { return false; });
        });
        std::fprintf(stderr, "the dispatcher ended: %u\n", platform::GetLastError());
        std::abort();
    }).detach();
    std::unique_lock lock(mutex);
    ready.wait(lock, [&] { return running; });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)zelko::fuzz::Root();
    Start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Entries raised through "eventlog" pile up: clear them now and then.
    static uint64_t runs = 0;
    if (++runs % 4096 == 0) zelko::fuzz::ResetFolder(zelko::fuzz::Root() / "EventLog");
    const std::string request(reinterpret_cast<const char*>(data), size);
    if (!platform::SendServiceRequest(Name(), request)) {
        std::fprintf(stderr, "no answer to the request (last error %u)\n", platform::GetLastError());
        std::abort();
    }
    return 0;
}
