#include "state_machine/module_set.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "testing/log_capture.h"

namespace zelko::plenar::agent {
namespace {

// Records the steps in the order the set calls them; one step may raise.
class RecordingBuilder : public ModuleSet::Builder {
  public:
    std::vector<std::string> steps;
    std::string raise_at;

    void InitHttpClient() override { Step("http"); }
    bool CheckSystemReadiness() override {
        Step("readiness");
        return true;
    }
    void InitFeatureFinder() override { Step("features"); }
    void PrepareForModules() override { Step("prepare"); }
    void InitConsentBridge() override { Step("consent"); }
    void InitS3Client() override { Step("s3"); }
    void PrepareScheduler() override { Step("scheduler"); }
    void InitConnectivityModule() override { Step("connectivity"); }
    void InitRemoteConfigs() override { Step("remote-configs"); }
    void InitCorvaneEnrollment() override { Step("corvane"); }
    void InitCryptography() override { Step("cryptography"); }
    void InitPerformanceCollector() override { Step("performance"); }
    void InitTelemetry() override { Step("telemetry"); }
    void InitAcmModule() override { Step("acm"); }
    void InitVevEModule() override { Step("vev-e"); }

  private:
    void Step(const std::string& name) {
        steps.push_back(name);
        if (name == raise_at) throw std::runtime_error("cannot build " + name);
    }
};

TEST(ModuleSet, BuildsInTheSetUpOrderAndCountsAHalfBuiltSetAsBuilt) {
    ModuleSet modules;
    RecordingBuilder builder;
    modules.Build(builder);
    EXPECT_EQ(builder.steps,
              (std::vector<std::string>{"http", "readiness", "features", "prepare", "consent", "s3", "scheduler",
                                        "connectivity", "remote-configs", "corvane", "cryptography", "performance",
                                        "telemetry", "acm", "vev-e"}));
    EXPECT_TRUE(modules.Built());

    // A set-up that raises half-way still has modules to release.
    ModuleSet half;
    RecordingBuilder failing;
    failing.raise_at = "connectivity";
    EXPECT_THROW(half.Build(failing), std::runtime_error);
    EXPECT_EQ(failing.steps.back(), "connectivity");
    EXPECT_TRUE(half.Built());
}

TEST(ModuleSet, ReleasesInTheStopOrderAndMovesToANewGeneration) {
    testing::LogCapture log;
    ModuleSet modules;
    RecordingBuilder builder;
    modules.Build(builder);
    const uint64_t generation = modules.Generation();

    int reports = 0;
    int drops = 0;
    modules.Release({[&] { ++reports; }, [&] { ++drops; }});

    std::vector<std::string> info;
    for (const auto& [severity, text] : log.Lines()) {
        if (severity == logging::info) info.push_back(text);
    }
    EXPECT_EQ(info, (std::vector<std::string>{"corvane enrollment module stopped.",
                                              "performance collector module stopped.", "Pause and Stop ACM",
                                              "telemetry module stopped.", "Destroying remote config states.",
                                              "connectivity module stopped.", "consent bridge module stopped.",
                                              "http client stopped."}));
    // Every step reports stop pending but the remote configurations'.
    EXPECT_EQ(reports, 8);
    EXPECT_EQ(drops, 1);
    EXPECT_NE(modules.Generation(), generation);
    EXPECT_FALSE(modules.Built());

    // Released while rebuilding: no reports, and no hooks needed.
    modules.Release({});
    EXPECT_EQ(reports, 8);
}

}  // namespace
}  // namespace zelko::plenar::agent
