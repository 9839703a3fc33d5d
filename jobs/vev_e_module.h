#pragma once

// The grants and policy files that the 1E endpoint client reads, kept in the "RemoteConfigs"
// folder beside the service's executable. Every process that reads or writes a file there holds
// the mutex "kvrt_RemoteConfigs_<configuration name>_mutex" for the whole access, waiting at most
// 30 s; after each completed write this module sets the event "<configuration name>_kvrt_event_".

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/event.h"
#include "platform/named_objects.h"

namespace zelko::plenar::config {
class ConfigService;
}

namespace zelko::plenar::agent {

// Module event codes the service sends when the grants or the policies change.
enum VevEEvents : uint32_t {
    VevEBkcEnable = 510,
    VevEBkcDisable = 511,
    VevEPolicies = 512,
};

// The grant identifiers; the service compares the same texts.
inline constexpr const char* kCorvaneGrant = "zelko.com/corvane";
inline constexpr const char* kBkcGrant = "zelko.com/bkc";

// One shared file with its named objects. The event lives as long as the record.
class SharedConfigFile {
  public:
    // Raises std::system_error "Failed CreateEvent for:<event name>" when the event cannot be
    // created or opened.
    SharedConfigFile(std::string name, const std::filesystem::path& folder, const std::string& subfolder,
                     const std::string& config_name);

    std::string name;
    std::filesystem::path path;
    std::string event_name;
    std::string mutex_name;
    std::unique_ptr<platform::NamedEvent> event;
};

class VevEModule {
  public:
    static constexpr std::chrono::milliseconds kMutexTimeout{30000};

    // Reads the module's configuration file once and copies an existing shared file to its
    // primary file when that is absent. Raises when an event cannot be created (std::system_error)
    // or the copy fails (std::filesystem::filesystem_error).
    VevEModule(std::filesystem::path config_path, std::filesystem::path folder, std::string subfolder,
               std::string grants_config_name, std::string primary_grants_name, std::string policies_config_name,
               std::string primary_policies_name, std::weak_ptr<config::ConfigService> config_service,
               std::chrono::milliseconds mutex_timeout = kMutexTimeout);
    virtual ~VevEModule() = default;
    VevEModule(const VevEModule&) = delete;
    VevEModule& operator=(const VevEModule&) = delete;

    // A module event from the service's bus, on the scheduler's worker; acts on 510, 511 and 512
    // and ignores the rest.
    virtual void Process(Event& event);

    // Writes the document to file 0 (grants) or 1 (policy) under its mutex and sets its event.
    // Failures are logged.
    void SaveConfigFile(size_t index, const nlohmann::json& document);

    // Copies of the configurations' current documents, or their fallbacks.
    nlohmann::json GetGrantsConfig() const;
    nlohmann::json GetPoliciesConfig() const;

    // Edit document["data"]["grants"] in place. AddGrants raises the JSON type error when "data"
    // is not an object or "grants" is neither missing, null nor an array.
    static void AddGrants(nlohmann::json& document, const std::vector<std::string>& grants);
    static void RemoveGrants(nlohmann::json& document, const std::vector<std::string>& grants);

    const std::vector<std::string>& enable_grants() const { return _enable_grants; }
    const std::vector<std::string>& disable_grants() const { return _disable_grants; }
    const SharedConfigFile& file(size_t index) const { return _files.at(index); }

  protected:
    // For test doubles of the service's bus: no files, no events.
    VevEModule() = default;

  private:
    nlohmann::json ConfigOrFallback(const std::string& name, const nlohmann::json& fallback) const;
    void HandleEvent(Event& event);
    void CopyToPrimary(const std::string& config_name, const std::string& primary_name) const;

    std::filesystem::path _config_path;
    std::filesystem::path _folder;
    std::string _subfolder;
    std::string _grants_config_name;
    std::string _primary_grants_name;
    std::string _policies_config_name;
    std::string _primary_policies_name;
    std::weak_ptr<config::ConfigService> _config_service;
    std::vector<std::string> _enable_grants;
    std::vector<std::string> _disable_grants;
    std::vector<SharedConfigFile> _files;
    std::chrono::milliseconds _mutex_timeout{kMutexTimeout};
};

}  // namespace zelko::plenar::agent
