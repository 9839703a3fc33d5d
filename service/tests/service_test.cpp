#include "service/service.h"
#include "testing/testable_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <future>
#include <latch>
#include <thread>

#include "features/feature_finder.h"
#include "jobs/acm_module.h"
#include "outside/http/http_errors.h"
#include "platform/last_error.h"
#include "platform/steady_clock.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/notify_socket.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using logging::debug;
using logging::error;
using logging::info;
using logging::warning;

// A Service whose executable, and so its configuration folder and state files, lives in a folder
// of the test.
class TestService : public TestableService {
  public:
    ~TestService() override { EndPostedWork(); }
    explicit TestService(std::filesystem::path exe) : exe_(std::move(exe)) {}
    std::filesystem::path GetExecutablePath() override { return exe_; }
    using Service::HasFeature;
    using Service::TeardownModules;

  private:
    std::filesystem::path exe_;
};

class ServiceTest : public testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        std::filesystem::create_directories(scratch() / kConfigFolderName);
        // Keep the test process's own priority as it is.
        WriteConfig(R"({"run_in_background": false, "run_with_ecoqos": false})");
    }
    void WriteConfig(const std::string& text) {
        std::ofstream(scratch() / kConfigFolderName / kAgentConfigFileName) << text;
    }
    std::filesystem::path Exe() const { return scratch() / "zelko-plenar-agent-service"; }

    // Messages of the log, in order, that contain one of the texts.
    std::vector<std::string> LinesWith(const std::vector<std::string>& texts) const {
        std::vector<std::string> out;
        for (const auto& [severity, message] : log_.Lines()) {
            for (const auto& text : texts) {
                if (message.find(text) != std::string::npos) {
                    out.push_back(message);
                    break;
                }
            }
        }
        return out;
    }
    int StopPendingReports() const { return log_.Count(debug, kStopPending); }
    bool WaitForStopPendingReports(int count) const { return log_.WaitFor(debug, kStopPending, count); }

    static constexpr char kStopPending[] = "dwCurrentState 3 dwWaitHint 120000";

    zelko::testing::LogCapture log_;
};

ServiceState NamedState(const std::string& name, std::vector<std::string>* calls) {
    ServiceState state;
    state.name = name;
    state.OnEnter = [calls, name] { calls->push_back("enter " + name); };
    state.OnExit = [calls, name] { calls->push_back("exit " + name); };
    return state;
}

TEST_F(ServiceTest, SetStateRefusesTheCurrentStateAndEveryChangeOnceStopping) {
    TestService service(Exe());
    std::vector<std::string> calls;
    EXPECT_EQ(service.CurrentStateName(), "");

    service.SetState(NamedState("A", &calls));
    service.SetState(NamedState("A", &calls));
    EXPECT_EQ(calls, (std::vector<std::string>{"enter A"}));
    EXPECT_TRUE(log_.Contains(debug, "Service state is already A"));
    EXPECT_TRUE(log_.Contains(info, "Service state changed to A"));

    service.SetState(NamedState("Stopping", &calls));
    service.SetState(NamedState("B", &calls));
    service.SetState(NamedState("Stopping", &calls));
    EXPECT_EQ(calls, (std::vector<std::string>{"enter A", "exit A", "enter Stopping"}));
    EXPECT_EQ(service.CurrentStateName(), "Stopping");
    EXPECT_TRUE(log_.Contains(debug, "Service is stopping, final state won't change to B"));
    EXPECT_TRUE(log_.Contains(debug, "Service state is already Stopping"));
}

TEST_F(ServiceTest, ControlHandlersRunOnTheStateTheyFoundWhileStatesChange) {
    TestService service(Exe());
    std::atomic<int> handled{0};
    std::vector<ServiceState> states(2);
    for (int i = 0; i < 2; ++i) {
        states[i].name = "S" + std::to_string(i);
        states[i].OnProcess = [&handled, i](uint32_t control, uint32_t, uint32_t, uint32_t, void*, uint64_t) {
            if (control == 211) handled += i + 1;
        };
    }
    service.SetState(states[0]);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int i = 0; i < 2000; ++i) service.SetState(states[i % 2 == 0 ? 1 : 0]);
        done = true;
    });
    int calls = 0;
    while (!done) {
        service.SvcCtrlHandlerImpl(211, 0, nullptr);
        ++calls;
    }
    changer.join();
    EXPECT_GE(handled.load(), calls);
    EXPECT_LE(handled.load(), 2 * calls);
}

TEST_F(ServiceTest, StopControlReachesStoppingOnlyOnceAStateIsEntered) {
    // The sleep event cannot be made (its folder is a file): the service must still stop on request.
    std::ofstream(root() / "Objects") << "not a folder";
    TestService service(Exe());
    EXPECT_TRUE(log_.Contains(warning, "Initialilizing modern sleep event failed"));

    service._svc_stop_event_handle = platform::Event::Create(true, false);
    ServiceControlHandler(platform::kServiceControlStop, 0, nullptr, &service);
    EXPECT_EQ(service.CurrentStateName(), "");  // nothing is current yet: the control has no effect

    service.InitBaseStates();
    service.SetState(service.Initializing);
    ServiceControlHandler(150, 0, nullptr, &service);
    EXPECT_EQ(service.CurrentStateName(), "Initializing");
    ServiceControlHandler(platform::kServiceControlStop, 0, nullptr, &service);
    EXPECT_EQ(service.CurrentStateName(), "Stopping");
    EXPECT_EQ(service.WaitForObject(service._svc_stop_event_handle.get(), 0), platform::kWaitObject0);
    EXPECT_TRUE(log_.Contains(info, "Service received stop event. Stopping.OnEnter"));
    EXPECT_TRUE(log_.Contains(info, "Stopping.OnEnter exiting."));
}

TEST_F(ServiceTest, BaseStatesAndPoliciesAreBoundFromTheBuiltInRetryDocument) {
    TestService service(Exe());
    service.InitBaseStates();
    EXPECT_EQ(service.Initializing.name, "Initializing");
    EXPECT_TRUE(service.Stopping.policy);
    EXPECT_FALSE(service.Discovery.policy);
    service.InitializePolicies();
    EXPECT_EQ(service.Discovery.name, "Discovery");
    EXPECT_TRUE(service.Discovery.policy);
    EXPECT_EQ(service.WaitingForNetwork.name, "WaitingForNetwork");
    EXPECT_TRUE(service.Feedback().PerformanceMeasure().policy);
    EXPECT_TRUE(service._retry_config["policies"].contains("local_delay"));
    EXPECT_TRUE(log_.Contains(info, "Using attest by default WaitingForNetwork"));
}

// Reports fixed feature names.
class NamesSource : public ISource {
  public:
    explicit NamesSource(std::vector<std::string> names) : names_(std::move(names)) {}
    std::string GetName() const override { return "NamesSource"; }
    FeatureList GetFeatures() override {
        FeatureList features;
        for (const auto& name : names_) features.push_back(MakeFeature(name));
        return features;
    }

  private:
    std::vector<std::string> names_;
};

TEST_F(ServiceTest, FeaturesAndTheRetryVariantComeFromTheHeldFeatureFinder) {
    struct Case {
        const char* what;
        bool finder;
        std::vector<std::string> features;
        nlohmann::json config;
        const char* variant_line;  // nullptr: the standard document, no variant asked
    } cases[] = {
        {"no finder yet", false, {}, nullptr, nullptr},
        {"finder without ss or te", true, {"commercialManaged", "SS", "tee"}, nullptr, nullptr},
        {"ss", true, {"ss"}, nullptr, "Config file Subscription"},
        {"te with another sub_type", true, {"te"}, {{"sub_type", "fetch"}}, "Config file Fetch5mins"},
        {"te with a sub_type that is not a text",
         true,
         {"te"},
         {{"sub_type", 5}},
         "Config file Subscription"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        zelko::testing::LogCapture log;
        TestService service(Exe());
        if (c.finder) {
            service._modules.feature_finder = std::make_shared<FeatureFinder>(
                std::vector<std::shared_ptr<ISource>>{std::make_shared<NamesSource>(c.features)});
        }
        service._agent_config = c.config;
        for (const auto& name : c.features) EXPECT_TRUE(service.HasFeature(name)) << name;
        EXPECT_FALSE(service.HasFeature("ss") && !c.variant_line);
        service.InitializePolicies();
        EXPECT_TRUE(service.Discovery.policy);
        if (c.variant_line) {
            EXPECT_TRUE(log.Contains(info, c.variant_line));
            EXPECT_TRUE(log.Contains(debug, "Retry Policies - Corvane"));
        } else {
            EXPECT_FALSE(log.Contains(info, "Config file "));
            EXPECT_FALSE(log.Contains(debug, "Retry Policies - Corvane"));
        }
    }
}

TEST_F(ServiceTest, RunsUnderTheDispatcherReportingStartAndStopUntilStoppedByTheStopControl) {
    zelko::testing::NotifySocket notify(root() / "notify");
    TestService service(Exe());
    ASSERT_TRUE(service.InitConfig(kConfigFolderName, kAgentConfigFileName, ""));
    std::thread dispatcher(
        [&] { EXPECT_TRUE(platform::StartServiceCtrlDispatcher(kServiceName, [&] { service.SvcMain(); })); });

    const std::string first = zelko::testing::NotifyStatus(notify.Next());
    const std::string second = zelko::testing::NotifyStatus(notify.Next());
    const std::string running = notify.Next();
    EXPECT_NE(first.find("Start pending (state 2, checkpoint "), std::string::npos) << first;
    EXPECT_NE(first.find("wait hint 5000 ms"), std::string::npos) << first;
    EXPECT_NE(second.find("wait hint 100000 ms"), std::string::npos) << second;
    EXPECT_NE(running.find("READY=1"), std::string::npos);
    EXPECT_NE(running.find("Running (state 4, checkpoint 0, wait hint 0 ms"), std::string::npos) << running;
    EXPECT_TRUE(log_.Contains(info, "Service state changed to Initializing"));
    EXPECT_TRUE(log_.Contains(info, "Modern Sleep not detected, registering to Sleep events."));

    EXPECT_TRUE(platform::ControlService(kServiceName, platform::kServiceControlStop));
    dispatcher.join();
    std::vector<std::string> stopping;
    for (std::string message = notify.Next(); !message.empty(); message = notify.Next()) {
        stopping.push_back(zelko::testing::NotifyStatus(message));
        if (message.find("Stopped") != std::string::npos) break;
    }
    ASSERT_GE(stopping.size(), 2u);
    for (size_t i = 0; i + 1 < stopping.size(); ++i) {
        EXPECT_NE(stopping[i].find("Stop pending (state 3"), std::string::npos) << stopping[i];
        EXPECT_NE(stopping[i].find("wait hint 120000 ms"), std::string::npos) << stopping[i];
    }
    EXPECT_EQ(stopping.back(), "Stopped (state 1, checkpoint 0, wait hint 1000 ms, exit code 0)");
    EXPECT_TRUE(log_.Contains(info, "Service has stopped."));
    EXPECT_EQ(service.LastReportedStatus().dwCurrentState, platform::kServiceStopped);
}

TEST_F(ServiceTest, BadRetryConfigurationBindsTheBaseStatesFromTheBuiltInDocument) {
    std::ofstream(scratch() / kConfigFolderName / kRetriesConfigFileName)
        << R"({"states": {"Initializing": 5}})";
    TestService service(Exe());
    ASSERT_NO_THROW(service.InitBaseStates());
    EXPECT_TRUE(service.Initializing.policy);
    EXPECT_TRUE(log_.Contains(warning, "zelko-retries-config.json cannot bind Initializing: key "
                                       "\"states\".\"Initializing\" is not a text"));
}

// Records its release in the log, so the teardown order shows among the teardown's own lines.
struct ReleaseProbe {
    ReleaseProbe(std::string name, std::latch* hold, std::atomic<bool>* held)
        : name(std::move(name)), hold(hold), held(held) {}
    std::string name;
    std::latch* hold;
    std::atomic<bool>* held;
    ~ReleaseProbe() {
        if (hold != nullptr) {
            held->store(true);
            hold->wait();
        }
        LOG_INFO << "released " << name;
    }
};

// A module pointer of any (even incomplete) type whose release destroys the probe.
template <typename T>
std::shared_ptr<T> Probe(const std::string& name, std::latch* hold = nullptr,
                         std::atomic<bool>* held = nullptr) {
    auto probe = std::make_shared<ReleaseProbe>(name, hold, held);
    return std::shared_ptr<T>(probe, reinterpret_cast<T*>(probe.get()));
}

struct ReleasedConnectivity : zelko::testing::FakeConnectivity {
    ~ReleasedConnectivity() override { LOG_INFO << "released connectivity"; }
};

struct FailingAcm : AcmModule {
    void Stop() override { throw std::runtime_error("compliance would not pause"); }
    ~FailingAcm() override { LOG_INFO << "released acm"; }
};

TEST_F(ServiceTest, TeardownReleasesModulesInItsFixedOrderAndGoesOnAfterAFailingStep) {
    TestService service(Exe());
    service._modules.corvane_enrollment = Probe<corvane::Enrollment>("corvane");
    service._modules.performance_collector = Probe<PerformanceCollector>("perf");
    service._modules.acm_module = std::make_shared<FailingAcm>();
    service._modules.telemetry_module = Probe<TelemetryModule>("telemetry");
    service._modules.remote_jobs["job-b"] = Probe<InstallComponent>("job-b");
    service._modules.remote_jobs["job-a"] = nullptr;
    service.RemoteConfigurations().Follow("grants", Probe<RemoteConfigStates>("remote states"));
    service._modules.tavragent_config = Probe<config::RemoteConfig>("tavragent");
    service._modules.config_service = Probe<config::ConfigService>("config service");
    // A real module: the release ends its connection before letting it go.
    service._modules.conn_module = std::make_shared<ReleasedConnectivity>();
    service._modules.consent_bridge_module = Probe<ConsentBridgeModule>("consent");
    service._modules.http_client = Probe<shared::http::IHttpClient>("http");

    const int reports_before = StopPendingReports();
    service.StopService();

    const std::vector<std::string> expected = {
        "Stop event received, waiting for the modules to exit...",
        "Destroying smart pointer to corvane enrollment",
        "released corvane",
        "corvane enrollment module stopped.",
        "Destroying smart pointer to performance collector",
        "released perf",
        "performance collector module stopped.",
        "Pause and Stop ACM",
        "ACM failed to stop compliance would not pause",
        "Destroying smart pointer to telemetry module",
        "released telemetry",
        "telemetry module stopped.",
        "Stopping 1e remote jobs",
        "Job: job-a stopped.",
        "released job-b",
        "Job: job-b stopped.",
        "Destroying remote config states.",
        "released remote states",
        "released tavragent",
        "released config service",
        "Destroying smart pointer to connectivity module",
        "released connectivity",
        "connectivity module stopped.",
        "Destroying smart pointer to consent bridge module",
        "released consent",
        "consent bridge module stopped.",
        "Destroying smart pointer to http client",
        "released http",
        "http client stopped.",
        "Scheduler terminating...",
        "Scheduler fully destroyed.",
        "Service has stopped.",
    };
    EXPECT_EQ(LinesWith({"Stop event received", "Destroying", "released", "stopped.", "Pause and Stop ACM",
                         "ACM failed", "Stopping 1e", "Job:", "Scheduler", "Service has stopped."}),
              expected);
    // The first report, one after every step but the sixth (the failing one reports too), and no
    // waiting cycle since the teardown was done at once.
    EXPECT_EQ(StopPendingReports() - reports_before, 1 + 8);
    EXPECT_FALSE(log_.Contains(error, "Giving up"));
    EXPECT_TRUE(service._modules.acm_module);  // its stop failed before the release; it goes with the service
    EXPECT_TRUE(service._modules.remote_jobs.empty());  // no key stays behind for a later set-up
    auto status = service.LastReportedStatus();
    EXPECT_EQ(status.dwCurrentState, platform::kServiceStopped);
    EXPECT_EQ(status.dwWaitHint, 1000u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_TRUE(service._stopping);
}

TEST_F(ServiceTest, StopGivesUpWaitingForAHangingTeardownAfterThirtySecondsOfVirtualTime) {
    platform::ScopedFakeSteadyClock clock;
    TestService service(Exe());
    std::latch release(1);
    std::atomic<bool> held{false};
    service._modules.telemetry_module = Probe<TelemetryModule>("telemetry", &release, &held);

    const int before = StopPendingReports();
    std::thread stopper([&] { service.StopService(); });
    // The teardown hangs in its fourth step, after three reports of its own.
    ASSERT_TRUE(WaitForStopPendingReports(before + 1 + 3));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    clock.Advance(std::chrono::milliseconds(500));
    ASSERT_TRUE(WaitForStopPendingReports(before + 1 + 3 + 1));
    EXPECT_FALSE(log_.Contains(error, "Giving up"));

    clock.Advance(std::chrono::seconds(30));
    ASSERT_TRUE(log_.WaitFor(error, "Giving up"));
    EXPECT_TRUE(log_.Contains(error, "Giving up on waiting for modules to stop (> 30 seconds)"));
    EXPECT_EQ(StopPendingReports() - before, 1 + 3 + 60);
    release.count_down();  // the worker finishes the teardown, so the scheduler can be joined
    stopper.join();
    EXPECT_TRUE(log_.Contains(info, "Service has stopped."));
    EXPECT_EQ(log_.Count(info, "http client stopped."), 1);
    EXPECT_EQ(service.LastReportedStatus().dwCurrentState, platform::kServiceStopped);
}

TEST_F(ServiceTest, InstallThenRemoveWritesAndDeletesTheUnitUnderTheSystemRoot) {
    TestService service(Exe());
    ASSERT_TRUE(service.SvcInstallService());
    auto installed = platform::ReadInstalledService(kServiceName);
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->config.binary_path_name, "\"" + platform::ExecutablePath().string() + "\"");
    EXPECT_EQ(installed->config.start_type, platform::kServiceDemandStart);
    EXPECT_TRUE(log_.Contains(info, "Service installed successfully"));

    EXPECT_FALSE(service.SvcInstallService());
    EXPECT_EQ(service.LastShellFailure(), "CreateService failed - GetLastError: 1073");

    ASSERT_TRUE(service.SvcRemoveService());
    EXPECT_FALSE(platform::ReadInstalledService(kServiceName));
    EXPECT_TRUE(log_.Contains(info, "Successfully uninstalled service"));
    EXPECT_FALSE(service.SvcRemoveService());
    EXPECT_EQ(service.LastShellFailure(), "Removing service failed, GetLastError: 1060");

    // The removal before an install finds nothing to remove and says nothing about it.
    const auto errors_before = log_.Count(error, "Removing service failed");
    EXPECT_FALSE(service.SvcRemoveService(false));
    EXPECT_EQ(log_.Count(error, "Removing service failed"), errors_before);
}

TEST_F(ServiceTest, ProgramReturnsNonZeroAfterAFailedRemovalOrDispatcherStart) {
    TestService service(Exe());
    char program[] = "zelko-plenar-agent-service";
    char remove[] = "REMOVE";
    char* remove_args[] = {program, remove};
    EXPECT_NE(ServiceProgramMain(service, 2, remove_args), 0);
    EXPECT_TRUE(log_.Contains(info, "Starting zelko-plenar-agent service."));

    // Another instance holds the service's place: the dispatcher cannot start.
    std::latch started(1);
    std::latch stop(1);
    std::thread other([&] {
        platform::StartServiceCtrlDispatcher(kServiceName, [&] {
            started.count_down();
            stop.wait();
        });
    });
    started.wait();
    char* run_args[] = {program};
    EXPECT_NE(ServiceProgramMain(service, 1, run_args), 0);
    EXPECT_TRUE(log_.Contains(error, "StartServiceCtrlDispatcher failed with 1056"));
    stop.count_down();
    other.join();

    // An empty main configuration runs on the defaults and says so in the log.
    WriteConfig("{}");
    TestService empty_config(Exe());
    EXPECT_NE(ServiceProgramMain(empty_config, 2, remove_args), -1);
    EXPECT_TRUE(log_.Contains(warning, "holds no settings ({}); using the built-in defaults."));
}

TEST_F(ServiceTest, FailedInstallAndRemovalSayWhatFailedOnStandardErrorAndReturnNonZero) {
    // The unit folder cannot be made: its parent is a file.
    const std::filesystem::path units = platform::ServiceUnitFolder();
    ASSERT_EQ(units.string().rfind(root().string(), 0), 0u) << units;
    std::filesystem::create_directories(units.parent_path().parent_path());
    std::ofstream(units.parent_path()) << "not a folder";
    platform::ScopedFakeSteadyClock clock;  // the install waits 2 s after its removal

    struct Case {
        std::string command;
        std::string said;
    } cases[] = {
        {"install", "install failed: OpenSCManager failed - GetLastError: 5"},
        {"REMOVE", "remove failed: Removing service failed, GetLastError: 1060"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.command);
        TestService service(Exe());
        char program[] = "zelko-plenar-agent-service";
        char* args[] = {program, c.command.data()};
        ::testing::internal::CaptureStderr();
        auto exit_code = std::async(std::launch::async, [&] { return ServiceProgramMain(service, 2, args); });
        if (c.command == "install") {
            // Under a loaded sanitizer run the program can reach its sleep late: keep moving the
            // clock until it returns, so a slow start never leaves the future blocking for good.
            EXPECT_TRUE(clock.WaitForSleepers(1, std::chrono::seconds(30)));
            for (int i = 0; i < 3000 && exit_code.wait_for(std::chrono::milliseconds(10)) !=
                                            std::future_status::ready;
                 ++i) {
                clock.Advance(std::chrono::seconds(2));
            }
        }
        EXPECT_NE(exit_code.get(), 0);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(std::string(kServiceName) + ": " + c.said), std::string::npos) << said;
        EXPECT_TRUE(log_.Contains(error, c.said.substr(c.said.find(": ") + 2)));
    }
}

TEST_F(ServiceTest, AStopEventThatCannotBeMadeEndsTheStartStoppedInsteadOfHanging) {
    TestService service(Exe());
    // Every descriptor below the limit is taken, so the event gets none.
    const int lowest_free = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(lowest_free, 0);
    ::close(lowest_free);
    rlimit old_limit{};
    ::getrlimit(RLIMIT_NOFILE, &old_limit);
    rlimit none_left = old_limit;
    none_left.rlim_cur = static_cast<rlim_t>(lowest_free);
    ::setrlimit(RLIMIT_NOFILE, &none_left);
    service.SvcInit();
    ::setrlimit(RLIMIT_NOFILE, &old_limit);

    const auto status = service.LastReportedStatus();
    EXPECT_EQ(status.dwCurrentState, platform::kServiceStopped);
    EXPECT_EQ(status.dwWin32ExitCode, platform::ErrorFromErrno(EMFILE));
    EXPECT_EQ(service.CurrentStateName(), "");
}

TEST_F(ServiceTest, MainConfigurationAndLogSeverity) {
    struct Case {
        const char* file;  // null: no file
        int32_t severity;
        bool emptied;  // replaced by the defaults with a warning
    } cases[] = {
        {nullptr, logging::info, false},
        {"not json", logging::info, false},
        {"{}", logging::info, true},
        {"null", logging::info, true},
        {"[]", logging::info, true},
        {R"({"log_severity": "warning"})", logging::warning, false},
        {R"({"log_severity": "d"})", logging::debug, false},
        {R"({"log_severity": "x"})", logging::none, false},
        {R"({"log_severity": ""})", logging::none, false},
        {R"({"log_severity": 5})", logging::info, false},
        {R"([1, 2])", logging::info, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file ? c.file : "(missing)");
        std::filesystem::remove(scratch() / kConfigFolderName / kAgentConfigFileName);
        if (c.file != nullptr) WriteConfig(c.file);
        TestService service(Exe());
        EXPECT_TRUE(service.InitConfig(kConfigFolderName, kAgentConfigFileName, ""));
        EXPECT_EQ(service.ReadLogSeverity(), c.severity);
        EXPECT_TRUE(service.ConfigBool("run_in_background", true));
        if (c.emptied) {
            EXPECT_NE(service.ConfigWarning().find(kAgentConfigFileName), std::string::npos);
        } else {
            EXPECT_EQ(service.ConfigWarning(), "");
        }
    }
    TestService service(Exe());
    EXPECT_FALSE(service.InitConfig(kConfigFolderName, kAgentConfigFileName, (root() / "missing").string()));
}

TEST_F(ServiceTest, QueuedNetworkWorkRunsOnceInOrderWhenTheNetworkComesBack) {
    TestService service(Exe());
    std::vector<int> ran;
    std::mutex mutex;
    std::condition_variable cv;
    auto work = [&](int n) {
        return [&, n] {
            std::lock_guard lock(mutex);
            ran.push_back(n);
            cv.notify_all();
        };
    };
    // Queued on the worker, as the states do.
    service._scheduler.In(Duration::zero(), [&] {
        service.RequestToRunOnNetwork(work(1));
        service.RequestToRunOnNetwork(work(2));
    });
    service.OnNetworkConnected();
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return ran.size() == 2; }));
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    lock.unlock();
    service.OnNetworkConnected();
    std::latch drained(1);
    service._scheduler.In(Duration::zero(), [&] { drained.count_down(); });
    drained.wait();
    EXPECT_TRUE(service._network_wait_queue.empty());
    EXPECT_EQ(ran.size(), 2u);
}

}  // namespace
}  // namespace zelko::plenar::agent
