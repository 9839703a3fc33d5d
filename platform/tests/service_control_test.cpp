#include "platform/service_control.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/diagnostics.h"
#include "platform/last_error.h"
#include "platform/notifications.h"
#include "testing/notify_socket.h"
#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

constexpr char kName[] = "zelko-test-service";

class ServiceDatabaseTest : public testing::SystemRootTest {};

TEST_F(ServiceDatabaseTest, InstallWritesUnitWithFailureActionsAndRemoveDeletesIt) {
    ScHandle manager = OpenSCManager(nullptr, nullptr, kScManagerAllAccess);
    ASSERT_NE(manager, nullptr);
    ServiceConfig config;
    config.service_name = kName;
    config.display_name = kName;
    config.desired_access = kServiceAllAccess;
    config.binary_path_name = "\"/opt/zelko/bin/agent\"";
    ScHandle service = CreateService(manager, config);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(CreateService(manager, config), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceExists);

    ServiceFailureActions actions{86400, "", "", {{kScActionRestart, 5000}, {kScActionRestart, 5000}, {}}};
    EXPECT_TRUE(ChangeServiceFailureActions(service, actions));
    EXPECT_TRUE(ChangeServiceFailureActionsFlag(service, true));
    EXPECT_TRUE(CloseServiceHandle(service));

    auto installed = ReadInstalledService(kName);
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->config.binary_path_name, config.binary_path_name);
    EXPECT_EQ(installed->config.start_type, kServiceDemandStart);
    EXPECT_EQ(installed->failure_actions.reset_period_seconds, 86400u);
    ASSERT_EQ(installed->failure_actions.actions.size(), 3u);
    EXPECT_EQ(installed->failure_actions.actions[1].type, kScActionRestart);
    EXPECT_EQ(installed->failure_actions.actions[1].delay_ms, 5000u);
    EXPECT_EQ(installed->failure_actions.actions[2].type, kScActionNone);
    EXPECT_TRUE(installed->failure_actions_on_non_crash_failures);

    std::ifstream unit(ServiceUnitFolder() / (std::string(kName) + ".service"));
    std::string text((std::istreambuf_iterator<char>(unit)), std::istreambuf_iterator<char>());
    for (const char* line : {"ExecStart=\"/opt/zelko/bin/agent\"\n", "Restart=on-failure\n", "RestartSec=5\n",
                             "StartLimitBurst=3\n", "StartLimitIntervalSec=86400\n", "Type=notify\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }

    // A query-only handle may not delete; a stopped service is reported as stopped.
    ScHandle query = OpenService(manager, kName, kServiceQueryStatus);
    ASSERT_NE(query, nullptr);
    EXPECT_FALSE(DeleteService(query));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    ServiceStatus status;
    ASSERT_TRUE(QueryServiceStatus(query, &status));
    EXPECT_EQ(status.dwCurrentState, kServiceStopped);
    CloseServiceHandle(query);

    ScHandle removal = OpenService(manager, kName, kServiceDelete | kServiceQueryStatus);
    ASSERT_NE(removal, nullptr);
    EXPECT_TRUE(DeleteService(removal));
    CloseServiceHandle(removal);
    EXPECT_FALSE(ReadInstalledService(kName));
    EXPECT_EQ(OpenService(manager, kName, kServiceQueryStatus), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_FALSE(CloseServiceHandle(nullptr));
}

TEST_F(ServiceDatabaseTest, DamagedUnitIsReportedAndLeftAsItIs) {
    std::vector<std::string> reports;
    SetDiagnosticSink([&](const std::string& text) { reports.push_back(text); });
    const auto path = ServiceUnitFolder() / (std::string(kName) + ".service");
    std::filesystem::create_directories(path.parent_path());
    const std::string cases[] = {"", "garbage\x01\xff\n", "[Unit]\nDescription=x\n", "[Service]\nExecStart=\n"};
    for (const auto& content : cases) {
        SCOPED_TRACE(content);
        reports.clear();
        std::ofstream(path, std::ios::binary) << content;
        ScHandle manager = OpenSCManager(nullptr, nullptr, kScManagerAllAccess);
        ScHandle service = OpenService(manager, kName, kServiceAllAccess);
        ASSERT_NE(service, nullptr);
        EXPECT_FALSE(ChangeServiceFailureActions(service, {86400, "", "", {{kScActionRestart, 5000}}}));
        EXPECT_EQ(GetLastError(), kErrorCantRead);
        EXPECT_FALSE(ChangeServiceFailureActionsFlag(service, true));
        std::ifstream unit(path, std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(unit)), std::istreambuf_iterator<char>()), content);
        ASSERT_FALSE(reports.empty());
        EXPECT_NE(reports[0].find(path.string() + " is damaged"), std::string::npos) << reports[0];
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
    SetDiagnosticSink(nullptr);
}

// A service main that reports start pending, then running once told, and stops on the stop control.
struct TestService {
    std::mutex mutex;
    std::condition_variable cv;
    bool go_running = false;
    bool running = false;
    bool stop = false;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> controls;
    ServiceStatusHandle handle = nullptr;

    static uint32_t Handler(uint32_t control, uint32_t event_type, void* data, void* context) {
        auto* self = static_cast<TestService*>(context);
        std::lock_guard lock(self->mutex);
        std::vector<uint8_t> bytes;
        if (data != nullptr)
            bytes.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + event_type);
        self->controls.emplace_back(control, bytes);
        if (control == kServiceControlStop) self->stop = true;
        self->cv.notify_all();
        return kNoError;
    }

    void Report(uint32_t state, uint32_t accepted) {
        ServiceStatus status;
        status.dwServiceType = kServiceWin32OwnProcess;
        status.dwCurrentState = state;
        status.dwControlsAccepted = accepted;
        status.dwWaitHint = state == kServiceStartPending ? 5000 : 0;
        SetServiceStatus(handle, status);
    }

    void Main() {
        handle = RegisterServiceCtrlHandlerEx(kName, &TestService::Handler, this);
        Report(kServiceStartPending, 0);
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return go_running; });
        lock.unlock();
        Report(kServiceRunning, kServiceAcceptStop);
        lock.lock();
        running = true;
        cv.notify_all();
        cv.wait(lock, [&] { return stop; });
        lock.unlock();
        Report(kServiceStopped, 0);
    }

    void LetRun() {
        std::lock_guard lock(mutex);
        go_running = true;
        cv.notify_all();
    }

    // Waits until the service has reported running.
    void WaitRunning() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return running; });
    }
};

class DispatcherTest : public testing::SystemRootTest {};

TEST_F(DispatcherTest, SignalStopWaitsUntilAcceptedAndControlsReachTheHandler) {
    EXPECT_EQ(RegisterServiceCtrlHandlerEx(kName, &TestService::Handler, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), kErrorFailedServiceControllerConnect);

    testing::NotifySocket notify(root() / "notify");
    TestService service;
    bool dispatched = false;
    std::thread dispatcher([&] { dispatched = StartServiceCtrlDispatcher(kName, [&] { service.Main(); }); });

    EXPECT_NE(notify.Next().find("STATUS=Start pending (state 2, checkpoint 0, wait hint 5000 ms"),
              std::string::npos);
    // Start pending accepts nothing: a control from a tool is refused, a stop signal waits.
    EXPECT_FALSE(ControlService(kName, kServiceControlStop));
    EXPECT_EQ(GetLastError(), kErrorServiceCannotAcceptCtrl);
    EXPECT_FALSE(StartServiceCtrlDispatcher(kName, [] {}));
    EXPECT_EQ(GetLastError(), kErrorServiceAlreadyRunning);
    ::kill(::getpid(), SIGTERM);
    service.LetRun();
    EXPECT_NE(notify.Next().find("READY=1"), std::string::npos);

    dispatcher.join();
    EXPECT_TRUE(dispatched);
    EXPECT_NE(notify.Next().find("STATUS=Stopped"), std::string::npos);
    ASSERT_EQ(service.controls.size(), 1u);
    EXPECT_EQ(service.controls[0].first, kServiceControlStop);
    EXPECT_FALSE(std::filesystem::exists(ServiceControlChannelPath(kName)));
    EXPECT_FALSE(ControlService(kName, 211));
    EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
}

TEST_F(DispatcherTest, ChannelDeliversUserControlsWithDataAndRefusesUnacceptedOnes) {
    TestService service;
    std::thread dispatcher([&] { StartServiceCtrlDispatcher(kName, [&] { service.Main(); }); });
    service.LetRun();
    service.WaitRunning();
    ScHandle manager = OpenSCManager(nullptr, nullptr, kScManagerAllAccess);
    ServiceConfig config;
    config.service_name = kName;
    config.desired_access = kServiceAllAccess;
    config.binary_path_name = "x";
    ScHandle unit = CreateService(manager, config);
    ServiceStatus status;
    ASSERT_TRUE(QueryServiceStatus(unit, &status));
    EXPECT_EQ(status.dwCurrentState, kServiceRunning);
    EXPECT_EQ(status.dwControlsAccepted, kServiceAcceptStop);

    EXPECT_TRUE(ControlService(kName, 211));
    // The test handler reads the event type as the data length.
    const RecordBytes volume = MakeDeviceBroadcastHeader(kDbtDevtypVolume);
    EXPECT_TRUE(ControlService(kName, kServiceControlDeviceEvent, volume.size(), volume));
    // A device record is read as far as its own size says: shorter data never reaches the handler.
    RecordBytes claims_more = volume;
    claims_more[0] = 64;
    EXPECT_FALSE(ControlService(kName, kServiceControlDeviceEvent, 0x8000, claims_more));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_EQ(SendServiceRequest(kName, "control 11 32768 0100"), "error 87");
    EXPECT_FALSE(ControlService(kName, kServiceControlShutdown));
    EXPECT_EQ(GetLastError(), kErrorInvalidServiceControl);
    EXPECT_FALSE(ControlService(kName, 2));  // pause
    EXPECT_EQ(SendServiceRequest(kName, "control 211 zz"), "error 87");
    EXPECT_EQ(SendServiceRequest(kName, "nonsense")->rfind("error 87", 0), 0u);

    SetServiceRequestHandler("echo",
                             [](const std::vector<std::string>& words) { return "echo " + words.at(0); });
    EXPECT_EQ(SendServiceRequest(kName, "echo hello"), "echo hello");
    SetServiceRequestHandler("echo", nullptr);

    EXPECT_TRUE(ControlService(kName, kServiceControlStop));
    dispatcher.join();
    ASSERT_EQ(service.controls.size(), 3u);
    EXPECT_EQ(service.controls[0].first, 211u);
    EXPECT_EQ(service.controls[1].first, kServiceControlDeviceEvent);
    EXPECT_EQ(service.controls[1].second, volume);
    EXPECT_EQ(service.controls[2].first, kServiceControlStop);
    CloseServiceHandle(unit);
    CloseServiceHandle(manager);
}


// Opens a raw connection to the channel, as a client that then stalls would.
int RawConnect(const std::filesystem::path& channel) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = channel.string();
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST_F(DispatcherTest, StalledClientsDelayNeitherOtherClientsNorAStopSignal) {
    TestService service;
    std::thread dispatcher([&] { StartServiceCtrlDispatcher(kName, [&] { service.Main(); }); });
    service.LetRun();
    service.WaitRunning();
    // More stalled clients than are served side by side, each with part of a line.
    std::vector<int> stalled;
    for (int i = 0; i < 80; ++i) {
        int fd = RawConnect(ServiceControlChannelPath(kName));
        ASSERT_GE(fd, 0) << "connection " << i;
        ASSERT_EQ(::send(fd, "c", 1, MSG_NOSIGNAL), 1);
        stalled.push_back(fd);
    }
    using Clock = std::chrono::steady_clock;
    auto started = Clock::now();
    EXPECT_TRUE(ControlService(kName, 211));
    EXPECT_TRUE(ControlService(kName, 212));
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));

    started = Clock::now();
    ::kill(::getpid(), SIGTERM);
    dispatcher.join();
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));
    for (int fd : stalled) ::close(fd);
    ASSERT_EQ(service.controls.size(), 3u);
    EXPECT_EQ(service.controls[2].first, kServiceControlStop);
}

}  // namespace
}  // namespace zelko::platform
