#pragma once

// Device features: named flags that steer the service. The finder keeps no features of its own;
// every question goes to every source, and each source decides whether it reads afresh.
//
// The finder's list of sources is guarded by its own lock: sources are replaced on the scheduler's
// worker while other threads ask for features. A question runs the sources outside that lock.

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "outside/device_info/device_info.h"

namespace zelko::shared::enrollment {
class IDiscoveryTokenCache;
}

namespace zelko::plenar::agent {

class ISource;

class IFeature {
  public:
    virtual ~IFeature() = default;
    // Empty once the reporting source is gone.
    virtual std::weak_ptr<ISource> GetSource() const = 0;
    virtual std::string GetName() const = 0;
};

using FeatureList = std::vector<std::shared_ptr<IFeature>>;

// The one feature implementation. Holds its source weakly, so a source may keep its own features.
class Feature : public IFeature {
  public:
    Feature(std::string name, const std::shared_ptr<ISource>& source);
    std::weak_ptr<ISource> GetSource() const override;
    std::string GetName() const override;

  private:
    const std::string _name;
    const std::weak_ptr<ISource> _source;
};

// A feature source. Always created through a shared pointer: a source that is not owned by one
// cannot make features and raises std::bad_weak_ptr.
class ISource : public std::enable_shared_from_this<ISource> {
  public:
    virtual ~ISource() = default;
    // The class's fixed name: the source's identity in the finder, the same in every build.
    virtual std::string GetName() const = 0;
    virtual FeatureList GetFeatures() = 0;

  protected:
    // One feature of the given name reported by this source; raises std::bad_weak_ptr when the
    // source is not owned by a shared pointer.
    std::shared_ptr<IFeature> MakeFeature(const std::string& name);
};

class FeatureFinder {
  public:
    explicit FeatureFinder(std::vector<std::shared_ptr<ISource>> sources);

    // All features, source after source in list order; duplicates kept. Logged at verbose level.
    FeatureList GetFeatures();
    // The features whose name equals `name` exactly (case and length).
    FeatureList GetFeaturesByName(const std::string& name);
    // Replaces every source of the same class by this one, at the end of the list.
    void AddSource(const std::shared_ptr<ISource>& source);
    // Removes every source whose name is `type_name`; the others keep their order.
    void RemoveSource(const std::string& type_name);
    // Removes every source of the same class as `source` (which need not be in the list).
    void RemoveMatchingSources(const std::shared_ptr<ISource>& source);

  private:
    std::vector<std::shared_ptr<ISource>> Sources() const;

    mutable std::mutex _mutex;
    std::vector<std::shared_ptr<ISource>> _sources;
};

// Registry places of the local sources (all under HKEY_LOCAL_MACHINE).
inline constexpr char kDeployersUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{E5FB98E0-0784-44F0-8CEC-95CD4690C43F}";
inline constexpr char kAgentRegistryKey[] = "Software\\Zelko\\Zelko Plenar Agent";
inline constexpr char kConsentPolicyKey[] = "SOFTWARE\\Policies\\Zelko\\Consent";
inline constexpr char kSimulateWUKey[] = "SOFTWARE\\Zelko\\Zelko Plenar Agent\\SimulateWU";
inline constexpr char kSimulateWriteCertErrorKey[] =
    "SOFTWARE\\Zelko\\Zelko Plenar Agent\\SimulateWriteCertError";

// Registry probes, run once when the source is built; the answer never changes afterwards.
class RegistrySource : public ISource {
  public:
    static constexpr char kName[] = "RegistrySource";
    RegistrySource();
    std::string GetName() const override { return kName; }
    FeatureList GetFeatures() override;

  private:
    void ProbeDeployers();
    void ProbeTestEnvironment();
    void ProbeCommercialManaged();
    void ProbeSimulationKeys();

    FeatureList _features;
    std::vector<std::string> _names;
};

// The consent policy values, read at every question.
class PSConsentSource : public ISource {
  public:
    static constexpr char kName[] = "PSConsentSource";
    std::string GetName() const override { return kName; }
    FeatureList GetFeatures() override;
};

// The main configuration's "sfs" entries, less those that "fhi"/"fbf" → "filt" list. Reads the
// document the service holds at every question; the document must outlive the source.
class SimulateFeaturesSource : public ISource {
  public:
    static constexpr char kName[] = "SimulateFeaturesSource";
    explicit SimulateFeaturesSource(const nlohmann::json& config);
    std::string GetName() const override { return kName; }
    FeatureList GetFeatures() override;

  private:
    const nlohmann::json& _config;
};

// The service names that the cached discovery token lists, read afresh at every question.
class DiscoveryServiceSource : public ISource {
  public:
    static constexpr char kName[] = "DiscoveryServiceSource";
    explicit DiscoveryServiceSource(std::shared_ptr<shared::enrollment::IDiscoveryTokenCache> enrollment);
    std::string GetName() const override { return kName; }
    FeatureList GetFeatures() override;
    void LoadDiscoveryToken();

  private:
    std::shared_ptr<shared::enrollment::IDiscoveryTokenCache> _enrollment;
    FeatureList _features;
};

// The device's feature-byte codes, adjusted by the "fbf" settings: "filt" codes are dropped and the
// "add" entries come first, unfiltered. Reads the device at every question.
class FeatureByteSource : public ISource {
  public:
    static constexpr char kName[] = "FeatureByteSource";
    // settings: a copy of the main configuration's "fbf" value (null when absent).
    FeatureByteSource(std::shared_ptr<shared::device::IDeviceInfo> device_info, nlohmann::json settings);
    std::string GetName() const override { return kName; }
    FeatureList GetFeatures() override;

  private:
    std::shared_ptr<shared::device::IDeviceInfo> _device_info;
    nlohmann::json _settings;
};

// The maker's initiatives the device takes part in, from its product number and four feature-byte
// codes, adjusted by "fhi" → "filt". Worked out until the first answer that finds one, then kept.
class ZelkoInitiativesSource : public ISource {
  public:
    static constexpr char kName[] = "ZelkoInitiativesSource";
    // settings: a copy of the main configuration's "fhi" value (null when absent).
    ZelkoInitiativesSource(std::shared_ptr<shared::device::IDeviceInfo> device_info, nlohmann::json settings);
    std::string GetName() const override { return kName; }
    FeatureList GetFeatures() override;

  private:
    std::shared_ptr<shared::device::IDeviceInfo> _device_info;
    FeatureList _features;
    nlohmann::json _settings;
};

// The product numbers of the models in the "Tarvik500" initiative, compared without regard to case.
inline constexpr const char* kTarvik500ProductIds[] = {"TVK5G1A00US", "TVK5G1B00EU", "TVK5G2A00US",
                                                       "TVK5G2B00EU"};

// The feature-byte codes: two characters at a time from the start (a last single one too), up to a
// "." that begins a code.
std::vector<std::string> ExtractFeatureByteCodes(const std::string& feature_bytes);

// The names of a feature list, in order.
std::vector<std::string> FeatureNames(const FeatureList& features);

// A settings filter "holds" a text when it is that text, an array with an equal text entry, or an
// object with an equal text value.
bool FilterHolds(const nlohmann::json& filter, const std::string& text);

}  // namespace zelko::plenar::agent
