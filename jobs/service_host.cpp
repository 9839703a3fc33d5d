#include "jobs/service_host.h"

#include "platform/last_error.h"
#include "platform/service_control.h"
#include "platform/task_scheduler.h"

namespace zelko::plenar::agent {

namespace {

class PlatformServiceHost : public ServiceHost {
  public:
    Query QueryService(const std::string& name) override {
        Query query;
        auto manager = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
        if (!manager) return {Step::Manager, platform::GetLastError(), 0};
        auto service = platform::OpenService(manager, name, platform::kServiceAllAccess);
        if (!service) {
            query = {Step::Service, platform::GetLastError(), 0};
        } else {
            platform::ServiceStatus status;
            if (platform::QueryServiceStatus(service, &status)) {
                query.state = status.dwCurrentState;
            } else {
                query = {Step::Status, platform::GetLastError(), 0};
            }
            platform::CloseServiceHandle(service);
        }
        platform::CloseServiceHandle(manager);
        return query;
    }

    uint32_t StartService(const std::string& name) override {
        auto installed = platform::ReadInstalledService(name);
        if (!installed) return platform::GetLastError() ? platform::GetLastError() : 1060;
        auto words = platform::SplitCommandLine(installed->config.binary_path_name);
        if (words.empty()) return 2;
        int error = 0;
        const std::string program = words.front();
        words.erase(words.begin());
        if (!platform::StartDetachedProcess(program, words, &error)) return error ? error : 1;
        return 0;
    }
};

}  // namespace

std::shared_ptr<ServiceHost> SystemServiceHost() { return std::make_shared<PlatformServiceHost>(); }

}  // namespace zelko::plenar::agent
