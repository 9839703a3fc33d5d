// An install job as the job's run reads it: the job shadow polled from the cloud, the kept copy of
// the job document, the job's "Cache.json" and the installation checks the document names. The
// input is "configuration\n#\nshadow\n#\nCache.json\n#\nkept document"; empty parts are left out.
// The configuration's "UpdateFolder" (a local setting) is held under the fuzz root.
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/support.h"
#include "jobs/install_component.h"
#include "jobs/windows_paths.h"
#include "testing/fake_connectivity.h"

namespace {

using namespace zelko::plenar::agent;
namespace fs = std::filesystem;

constexpr char kJob[] = "fuzz-job";
constexpr char kProgram[] = "D:\\Program Files\\Zelko\\agent.exe";

std::string HeldConfiguration(const std::string& text) {
    auto document = nlohmann::json::parse(text, nullptr, false);
    if (!document.is_object()) return text;
    document["UpdateFolder"] = "Installer";
    return document.dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = zelko::fuzz::Split(std::string_view(reinterpret_cast<const char*>(data), size), "\n#\n", 4);
    const fs::path work = zelko::fuzz::Root() / "install";
    zelko::fuzz::ResetFolder(work);
    const fs::path program_folder = winpath::ToNative("D:\\Program Files\\Zelko");
    std::error_code ignored;
    fs::remove_all(program_folder, ignored);
    zelko::fuzz::WriteFile(work / "install-component.json", parts[0].empty() ? "{}" : HeldConfiguration(parts[0]));

    auto connectivity = std::make_shared<zelko::testing::FakeConnectivity>();
    connectivity->SetShadow(parts[1]);
    std::unique_ptr<InstallComponent> job;
    try {
        job = std::make_unique<InstallComponent>((work / "install-component.json").string(), nullptr, kJob, connectivity,
                                                 nullptr, nullptr, nullptr, nullptr,
                                                 nlohmann::json{{"name", kJob}, {"ival", "60"}}, kProgram);
    } catch (const std::exception&) {
        return 0;  // a damaged configuration fails the job's set-up, which the service logs
    }
    if (!parts[2].empty()) zelko::fuzz::WriteFile(winpath::ToNative(job->jobFolder + "\\Cache.json"), parts[2]);
    if (!parts[3].empty()) zelko::fuzz::WriteFile(winpath::ToNative(job->jobFolder + "\\" + kJob), parts[3]);
    try {
        job->InitCache(job->jobFolder);
    } catch (const std::exception&) {
        // The run catches a damaged cache and starts the job afresh.
    }
    job->ReadShadowContentFromFile(job->jobFolder + "\\" + kJob);
    (void)job->GetJobContent(kJob);
    (void)job->VerifyInstallation();
    job.reset();
    fs::remove_all(program_folder, ignored);
    return 0;
}
