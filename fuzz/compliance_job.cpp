// Compliance job documents: a job entry as the module reads it, policy windows, and a manifest
// run by the compliance engine (its checks read files and registry values under the fuzz root).
// The first byte picks which; the rest is the document.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "fuzz/support.h"
#include "jobs/acm_module.h"
#include "outside/vorlix/acm_controller.h"

namespace {

namespace vorlix = zelko::shared::vorlix;

std::mutex g_mutex;
std::condition_variable g_changed;
uint64_t g_completions = 0;

void Completed(vorlix::ACM_CALLBACK_RESULT, const char*, void*) {
    std::lock_guard lock(g_mutex);
    ++g_completions;
    g_changed.notify_all();
}

struct Engines {
    std::unique_ptr<vorlix::AcmController> running;
    std::unique_ptr<vorlix::AcmController> policies;
    Engines() {
        const auto folder = zelko::fuzz::Root() / "compliance";
        zelko::fuzz::ResetFolder(folder);
        running = std::make_unique<vorlix::AcmController>(folder.string(), "queue.json", "tasks.json", "", false,
                                                          &Completed, nullptr, false);
        policies = std::make_unique<vorlix::AcmController>(folder.string(), "queue-p.json", "tasks-p.json", "",
                                                           false, nullptr, nullptr, false);
        if (!running->Start()) std::abort();
    }
    ~Engines() { running->Cancel(); }
};

Engines& TheEngines() {
    static Engines engines;
    return engines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    Engines& engines = TheEngines();
    switch (data[0] % 3) {
        case 0: {
            try {
                zelko::plenar::agent::AcmJob job = nlohmann::json::parse(text).get<zelko::plenar::agent::AcmJob>();
                (void)job;
            } catch (const nlohmann::json::exception&) {
                // The module's worker logs a job entry it cannot read.
            }
            break;
        }
        case 1: {
            if (engines.policies->SetPolicies(text)) {
                engines.policies->GetNextPolicyWindow(std::make_shared<std::tm>(), std::make_shared<std::tm>());
            }
            break;
        }
        default: {
            std::unique_lock lock(g_mutex);
            const uint64_t before = g_completions;
            lock.unlock();
            if (!engines.running->AddManifest(text)) break;
            lock.lock();
            if (!g_changed.wait_for(lock, std::chrono::seconds(20), [&] { return g_completions > before; })) {
                std::fprintf(stderr, "the compliance run of the manifest did not end\n");
                std::abort();
            }
            (void)engines.running->GetReport().dump();
            break;
        }
    }
    return 0;
}
