#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zelko::plenar::agent {

// What keeping a job's services needs of the service control manager.
class ServiceHost {
  public:
    enum class Step { Ok, Manager, Service, Status };
    struct Query {
        Step failed = Step::Ok;  // the step that failed, Ok when the state is known
        uint32_t error = 0;      // the system error code of that step
        uint32_t state = 0;      // the service's current state (platform::kService*)
    };
    virtual ~ServiceHost() = default;
    virtual Query QueryService(const std::string& name) = 0;
    // 0 when the start was requested, else the system error code.
    virtual uint32_t StartService(const std::string& name) = 0;
};

// The platform's service database: a service is started by running the command of its unit.
std::shared_ptr<ServiceHost> SystemServiceHost();

}  // namespace zelko::plenar::agent
