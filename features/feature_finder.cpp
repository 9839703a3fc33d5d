#include "features/feature_finder.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "foundation/logging.h"
#include "foundation/registry_values.h"
#include "foundation/string_list.h"
#include "outside/enrollment/discovery_token.h"
#include "platform/registry.h"

namespace zelko::plenar::agent {

namespace {

std::string ReadLocalMachine(const char* key, const char* value) {
    return ReadRegistryValueText(platform::RegistryHive::LocalMachine, key, value);
}

bool LocalMachineKeyOpens(const char* key) {
    platform::RegistryKey handle;
    return platform::RegistryKey::Open(platform::RegistryHive::LocalMachine, key, handle) ==
           platform::kErrorSuccess;
}

// A settings member when the settings are an object that has it; null otherwise.
nlohmann::json MemberOrNull(const nlohmann::json& object, const char* key) {
    if (object.is_object() && object.contains(key)) return object[key];
    return nullptr;
}

}  // namespace

// ---- Feature, ISource ----

Feature::Feature(std::string name, const std::shared_ptr<ISource>& source)
    : _name(std::move(name)), _source(source) {}

std::weak_ptr<ISource> Feature::GetSource() const { return _source; }

std::string Feature::GetName() const { return _name; }

std::shared_ptr<IFeature> ISource::MakeFeature(const std::string& name) {
    // shared_from_this raises std::bad_weak_ptr for a source that no shared pointer owns.
    return std::make_shared<Feature>(name, shared_from_this());
}

std::vector<std::string> FeatureNames(const FeatureList& features) {
    std::vector<std::string> names;
    names.reserve(features.size());
    for (const auto& feature : features) names.push_back(feature->GetName());
    return names;
}

bool FilterHolds(const nlohmann::json& filter, const std::string& text) {
    if (filter.is_string()) return filter.get_ref<const std::string&>() == text;
    if (!filter.is_array() && !filter.is_object()) return false;
    for (const auto& entry : filter) {
        if (entry.is_string() && entry.get_ref<const std::string&>() == text) return true;
    }
    return false;
}

// ---- FeatureFinder ----

FeatureFinder::FeatureFinder(std::vector<std::shared_ptr<ISource>> sources) : _sources(std::move(sources)) {}

std::vector<std::shared_ptr<ISource>> FeatureFinder::Sources() const {
    std::lock_guard lock(_mutex);
    return _sources;
}

FeatureList FeatureFinder::GetFeatures() {
    FeatureList result;
    for (const auto& source : Sources()) {
        FeatureList features = source->GetFeatures();
        result.insert(result.end(), features.begin(), features.end());
    }
    std::string names;
    for (const auto& feature : result) names += feature->GetName() + " ";
    LOG_VERBOSE << "FeatureFinder::GetFeatures: " << names;
    return result;
}

FeatureList FeatureFinder::GetFeaturesByName(const std::string& name) {
    FeatureList result;
    for (const auto& source : Sources()) {
        for (auto& feature : source->GetFeatures()) {
            if (feature->GetName() == name) result.push_back(std::move(feature));
        }
    }
    return result;
}

void FeatureFinder::AddSource(const std::shared_ptr<ISource>& source) {
    const std::string name = source->GetName();
    std::lock_guard lock(_mutex);
    std::erase_if(_sources, [&](const std::shared_ptr<ISource>& s) { return s->GetName() == name; });
    _sources.push_back(source);
}

void FeatureFinder::RemoveSource(const std::string& type_name) {
    std::lock_guard lock(_mutex);
    std::erase_if(_sources, [&](const std::shared_ptr<ISource>& s) { return s->GetName() == type_name; });
}

void FeatureFinder::RemoveMatchingSources(const std::shared_ptr<ISource>& source) {
    RemoveSource(source->GetName());
}

// ---- RegistrySource ----

RegistrySource::RegistrySource() {
    ProbeDeployers();
    ProbeTestEnvironment();
    ProbeCommercialManaged();
    ProbeSimulationKeys();
}

void RegistrySource::ProbeDeployers() {
    if (ReadLocalMachine(kDeployersUninstallKey, "Deployers") == "VXM") _names.push_back("Deployers");
}

void RegistrySource::ProbeTestEnvironment() {
    if (ReadLocalMachine(kAgentRegistryKey, "EnableTestEnv") == "True") _names.push_back("EnableTestEnv");
}

void RegistrySource::ProbeCommercialManaged() {
    if (ReadLocalMachine(kConsentPolicyKey, "Managed") == "True") _names.push_back("commercialManaged");
}

void RegistrySource::ProbeSimulationKeys() {
    const bool simulate_wu = LocalMachineKeyOpens(kSimulateWUKey);
    const bool simulate_write_cert_error = LocalMachineKeyOpens(kSimulateWriteCertErrorKey);
    if (simulate_wu) _names.push_back("simulatewu");
    if (simulate_write_cert_error) _names.push_back("simulatewritecerterr");
}

FeatureList RegistrySource::GetFeatures() {
    _features.clear();
    for (const auto& name : _names) _features.push_back(MakeFeature(name));
    return _features;
}

// ---- PSConsentSource ----

FeatureList PSConsentSource::GetFeatures() {
    FeatureList features;
    for (const char* name :
         {"AllowMarketing", "AllowProductEnhancement", "AllowSupport", "AllowTransferOutOfCountry"}) {
        if (ReadLocalMachine(kConsentPolicyKey, name) == "Accepted") features.push_back(MakeFeature(name));
    }
    for (const char* name : {"Managed", "TransferOutConsentRequired", "TransferOutAllowed"}) {
        if (ReadLocalMachine(kConsentPolicyKey, name) == "True") features.push_back(MakeFeature(name));
    }
    features.push_back(MakeFeature("PrivacySettingsAppInstalled"));
    return features;
}

// ---- SimulateFeaturesSource ----

SimulateFeaturesSource::SimulateFeaturesSource(const nlohmann::json& config) : _config(config) {}

FeatureList SimulateFeaturesSource::GetFeatures() {
    // These filters count only as arrays, unlike those of the device-derived sources.
    const nlohmann::json initiatives_filter = MemberOrNull(MemberOrNull(_config, "fhi"), "filt");
    const nlohmann::json feature_byte_filter = MemberOrNull(MemberOrNull(_config, "fbf"), "filt");
    auto listed = [](const nlohmann::json& filter, const std::string& text) {
        return filter.is_array() && FilterHolds(filter, text);
    };
    FeatureList features;
    std::vector<std::string> names;
    const nlohmann::json simulated = MemberOrNull(_config, "sfs");
    if (simulated.is_array()) {
        for (const auto& entry : simulated) {
            const std::string text = entry.get<std::string>();
            if (listed(initiatives_filter, text) || listed(feature_byte_filter, text)) continue;
            features.push_back(MakeFeature(text));
            names.push_back(text);
        }
    }
    LOG_VERBOSE << "SimulateFeaturesSource::GetFeatures: " << WriteStringList(names);
    return features;
}

// ---- DiscoveryServiceSource ----

DiscoveryServiceSource::DiscoveryServiceSource(
    std::shared_ptr<shared::enrollment::IDiscoveryTokenCache> enrollment)
    : _enrollment(std::move(enrollment)) {}

FeatureList DiscoveryServiceSource::GetFeatures() {
    LoadDiscoveryToken();
    LOG_VERBOSE << "DiscoveryServiceSource::GetFeatures: " << WriteStringList(FeatureNames(_features));
    return _features;
}

void DiscoveryServiceSource::LoadDiscoveryToken() {
    _features.clear();
    auto finish = [this] {
        LOG_VERBOSE << "DiscoveryServiceSource::LoadDiscoveryToken: "
                    << WriteStringList(FeatureNames(_features));
    };
    if (!_enrollment || _enrollment->LoadCachedDiscoveryToken()) {
        LOG_ERROR << "LoadDiscoveryToken: Error loading cached discovery token.";
        return finish();
    }
    const shared::enrollment::IDiscoveryToken* token = _enrollment->GetDiscoveryToken();
    if (token == nullptr || token->GetError()) {
        LOG_ERROR << "LoadDiscoveryToken: Token is invalid.";
        return finish();
    }
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(token->GetText());
    } catch (const nlohmann::json::parse_error& e) {
        LOG_ERROR << "LoadDiscoveryToken: Token is bad formatted." << e.what();
        return finish();
    }
    if (!document.is_object() || !document.contains("serviceName") || !document["serviceName"].is_array()) {
        LOG_ERROR << "LoadDiscoveryToken: Token is bad formatted.";
        return finish();
    }
    for (const auto& entry : document["serviceName"]) {
        // A non-text entry raises the JSON type error to the caller; the entries before it stay.
        _features.push_back(MakeFeature(entry.get<std::string>()));
    }
    finish();
}

// ---- device-derived sources ----

std::vector<std::string> ExtractFeatureByteCodes(const std::string& feature_bytes) {
    std::vector<std::string> codes;
    for (size_t at = 0; at < feature_bytes.size(); at += 2) {
        if (feature_bytes[at] == '.') break;
        codes.push_back(feature_bytes.substr(at, 2));
    }
    return codes;
}

namespace {

// The feature-byte text through the three steps of the device information; null when one is missing.
const char* RawFeatureBytes(const shared::device::IDeviceInfo* device_info, const char** missing) {
    const shared::device::IZelkoSpecificInfo* specific =
        device_info ? device_info->GetZelkoSpecificInfo() : nullptr;
    if (specific == nullptr) {
        *missing = "ZelkoSpecificInfo is not available";
        return nullptr;
    }
    const shared::device::IFeatureBytes* feature_bytes = specific->GetFeatureBytes();
    if (feature_bytes == nullptr) {
        *missing = "featureByte is not available";
        return nullptr;
    }
    const char* raw = feature_bytes->GetRawBytes();
    if (raw == nullptr) *missing = "featureBytes is not available";
    return raw;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

FeatureByteSource::FeatureByteSource(std::shared_ptr<shared::device::IDeviceInfo> device_info,
                                     nlohmann::json settings)
    : _device_info(std::move(device_info)), _settings(std::move(settings)) {}

FeatureList FeatureByteSource::GetFeatures() {
    const char* missing = nullptr;
    const char* raw = RawFeatureBytes(_device_info.get(), &missing);
    if (raw == nullptr) {
        LOG_VERBOSE << "FeatureByteSource::GetFeatures: no feature bytes (" << missing << ")";
        return {};
    }
    std::vector<std::string> codes = ExtractFeatureByteCodes(raw);
    const nlohmann::json filter = MemberOrNull(_settings, "filt");
    if (_settings.is_object() && _settings.contains("filt")) {
        std::erase_if(codes, [&](const std::string& code) { return FilterHolds(filter, code); });
    }
    if (_settings.is_object() && _settings.contains("add")) {
        std::vector<std::string> added;
        for (const auto& entry : _settings["add"]) added.push_back(entry.get<std::string>());
        codes.insert(codes.begin(), added.begin(), added.end());
    }
    FeatureList features;
    for (const auto& code : codes) features.push_back(MakeFeature(code));
    LOG_VERBOSE << "FeatureByteSource::GetFeatures: " << WriteStringList(codes);
    return features;
}

ZelkoInitiativesSource::ZelkoInitiativesSource(std::shared_ptr<shared::device::IDeviceInfo> device_info,
                                               nlohmann::json settings)
    : _device_info(std::move(device_info)), _settings(std::move(settings)) {}

FeatureList ZelkoInitiativesSource::GetFeatures() {
    if (_features.empty()) {
        const nlohmann::json filter = MemberOrNull(_settings, "filt");
        const char* product_id = _device_info ? _device_info->GetProductId() : nullptr;
        if (product_id == nullptr) {
            LOG_WARNING << "ProductId is not available";
        } else {
            for (const char* known : kTarvik500ProductIds) {
                if (!EqualsIgnoringCase(product_id, known)) continue;
                if (!FilterHolds(filter, "Tarvik500")) _features.push_back(MakeFeature("Tarvik500"));
                break;
            }
        }
        const char* missing = nullptr;
        const char* raw = RawFeatureBytes(_device_info.get(), &missing);
        if (raw == nullptr) {
            LOG_WARNING << missing;
        } else {
            std::vector<std::string> codes = ExtractFeatureByteCodes(raw);
            std::erase_if(codes, [&](const std::string& code) { return FilterHolds(filter, code); });
            std::vector<std::string> names;
            for (const auto& code : codes) {
                if (code == "r6") {
                    names.push_back("ZelkoPlenarSubscription");
                } else if (code == "ry") {
                    names.push_back("DoNotCallHome");
                } else if (code == "ss" || code == "te") {
                    names.push_back("Corvane");
                }
            }
            std::erase_if(names, [&](const std::string& name) { return FilterHolds(filter, name); });
            for (const auto& name : names) _features.push_back(MakeFeature(name));
            LOG_VERBOSE << "ZelkoInitiativesSource::GetFeatures: " << WriteStringList(names);
        }
    }
    LOG_VERBOSE << "ZelkoInitiativesSource::GetFeatures: " << WriteStringList(FeatureNames(_features));
    return _features;
}

}  // namespace zelko::plenar::agent
