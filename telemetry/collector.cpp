#include "telemetry/collector.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "telemetry/resend_record.h"

namespace zelko::plenar::agent {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;
using shared::plugin::PluginDescriptionResult;

constexpr uint32_t kRequiredCollectorsEvent = 220;
constexpr uint32_t kEventLogQueryEvent = 245;
constexpr int64_t kErrorWindowSeconds = 86'400;
constexpr const char* kErrorUploadGun =
    "com.zelko.cdm.domain.telemetry.type.eventDetail.category.pcTavrinAgentErrorEvent.version.1";
constexpr const char* kNoRemoteConsentType =
    "enum zelko::shared::valve::ValveFilterError::ValveFilterErrorType";

Error CollectorError(CollectorErrorEnum code, const std::string& message) {
    return MakeCollectorError(code, message);
}

// Required-collector runs treat their failures as errors; other runs as warnings.
logging::Severity On220(uint32_t control) {
    return control == kRequiredCollectorsEvent ? logging::error : logging::warning;
}

// A member the configured constructor cannot do without. A non-object entry gets the JSON
// library's type error, as indexing it does.
const json& Member(const json& entry, const char* key, const std::string& name) {
    if (!entry.is_object()) return entry[key];
    auto found = entry.find(key);
    if (found == entry.end()) {
        throw std::logic_error(std::string("Wrong Telemetry.cfg format, no '") + key + "', collector " +
                               name + "\n");
    }
    return *found;
}

// Calls the finish callback when the run leaves the plug-in call, however it leaves it.
class FinishGuard {
  public:
    explicit FinishGuard(const std::function<void()>& finish) : finish_(finish) {}
    ~FinishGuard() {
        if (!finish_) return;
        try {
            finish_();
        } catch (...) {
            LOG_ERROR << "Plug-in finish callback failed: "
                      << error::ErrorToString(error::ErrorFromException(std::current_exception(), ""));
        }
    }
    FinishGuard(const FinishGuard&) = delete;
    FinishGuard& operator=(const FinishGuard&) = delete;

  private:
    const std::function<void()>& finish_;
};

std::string BufferText(const std::vector<char>& buffer) {
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

}  // namespace

std::string FormatString(const char* format, const std::string& first, const std::string& second) {
    const int length = std::snprintf(nullptr, 0, format, first.c_str(), second.c_str());
    if (length < 0 || length > 0x7FFFFFFE) throw std::runtime_error("Error during formatting.");
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, first.c_str(), second.c_str());
    text.resize(static_cast<size_t>(length));
    return text;
}

bool HasPluginError(const json& output) {
    if (!output.is_object()) return false;
    auto error = output.find("error");
    if (error == output.end() || !error->is_object()) return false;
    auto category = error->find("category");
    return category != error->end() && category->is_string() && category->get<std::string>() != "EC_NoError";
}

json BuildErrorUpload(const json& error, const std::string& pluginId) {
    const json& code = error.at("code");
    if (!code.is_number()) throw std::invalid_argument("the plug-in error's code is not a number");
    char code_text[32];
    std::snprintf(code_text, sizeof code_text, "%lld", static_cast<long long>(code.get<int64_t>()));

    ErrorCategory category = ErrorCategory::EC_Unknown;
    Error::FromString(error.at("category").get<std::string>(), category);

    json data;
    data["version"] = "1.0.0";
    data["errorCode"] = code_text;
    data["errorCategory"] = static_cast<int32_t>(category);
    data["errorType"] = "int";
    if (auto what = error.find("what"); what != error.end()) data["errorDescription"] = *what;
    auto origin = error.find("origin");
    if (!pluginId.empty() || origin != error.end()) {
        std::string text = pluginId.empty() ? "" : pluginId + "::";
        if (origin != error.end()) text += origin->is_string() ? origin->get<std::string>() : origin->dump();
        data["errorOrigin"] = text;
    }
    return {{"gun", kErrorUploadGun}, {"data", std::move(data)}};
}

Collector::Collector(std::shared_ptr<ConnectivityModule> connectivity,
                     std::shared_ptr<shared::plugin::IPluginManager> pluginManager, Callback onPluginStart,
                     Callback onPluginFinish, std::shared_ptr<crypto::Cryptography> cryptography, bool byHttp)
    : runsInParallel(true),
      byHttp(byHttp),
      isCustom(true),
      pluginManager(std::move(pluginManager)),
      cryptography(std::move(cryptography)),
      connectivity(std::move(connectivity)),
      onPluginStart(std::move(onPluginStart)),
      onPluginFinish(std::move(onPluginFinish)) {
    if (!this->pluginManager) throw std::invalid_argument("pluginManager is null");
    StartThread();
}

Collector::Collector(const json& entry, std::shared_ptr<ConnectivityModule> connectivity,
                     std::shared_ptr<shared::plugin::IPluginManager> pluginManager, Callback onPluginStart,
                     Callback onPluginFinish, std::shared_ptr<crypto::Cryptography> cryptography, bool byHttp)
    : byHttp(byHttp),
      pluginManager(std::move(pluginManager)),
      cryptography(std::move(cryptography)),
      connectivity(std::move(connectivity)),
      onPluginStart(std::move(onPluginStart)),
      onPluginFinish(std::move(onPluginFinish)) {
    if (!this->pluginManager) throw std::invalid_argument("pluginManager is null");
    name = Member(entry, "name", name).get<std::string>();
    configuration = Member(entry, "configuration", name);
    if (auto required = entry.find("requiredfeaturebytes"); required != entry.end()) {
        for (const auto& feature : *required) requiredFeatureBytes.push_back(feature.get<std::string>());
    }
    for (const auto& element : Member(entry, "events", name)) {
        try {
            const EventKey key = element.get<EventKey>();
            events.push_back(key);
            if (key.dwControl == kEventLogQueryEvent) LoadSummaryQuery(static_cast<int32_t>(key.dwEventType));
        } catch (...) {
            throw std::logic_error("Wrong Telemetry.cfg format for 'events', collector " + name + "\n");
        }
    }
    version = Member(entry, "version", name).get<std::string>();

    const json postpone_value = entry.value("postpone", json("All"));
    const std::string postpone_text = postpone_value.is_string() ? postpone_value.get<std::string>() : "";
    if (postpone_text == "All") {
        postpone = All;
    } else if (postpone_text == "First") {
        postpone = First;
    } else if (postpone_text == "Last") {
        postpone = Last;
    } else {
        throw std::logic_error("Wrong Telemetry.cfg format for 'postpone', collector " + name + "\n");
    }

    runsInParallel = entry.value("runs_in_parallel", false);
    if (runsInParallel) StartThread();
}

Collector::~Collector() {
    Stop(0, true);
    try {
        StopInternalQueue();
    } catch (...) {
        LOG_ERROR << "Collector " << name << " could not end its processing thread";
    }
}

void Collector::StartThread() {
    thread = std::thread([this] { ProcessingLoopFunc(); });
}

std::string Collector::FoundVersion() const {
    std::lock_guard lock(foundVersionLock);
    return foundVersion;
}

void Collector::SetFoundVersion(const std::string& found) {
    std::lock_guard lock(foundVersionLock);
    foundVersion = found;
}

void Collector::LoadSummaryQuery(int32_t queryId) {
    const fs::path folder = Utils::GetExecutableDirectory();
    if (folder.empty()) throw std::logic_error("no executable path found");
    const json document = Utils::LoadWinEventsConfig(folder, "Configuration Files");
    if (queryId < 0) throw std::out_of_range("query id " + std::to_string(queryId));
    const json& query = document.at("queries_by_evnet_id").at(static_cast<size_t>(queryId));
    const std::string summary = query.value("on_summary", std::string());
    if (configuration.is_null()) configuration = json::object();
    configuration["summary_query"] = summary;
}

bool Collector::IsLoaded() {
    PluginDescriptionResult result;
    if (Error error = pluginManager->GetPluginDescription(name.c_str(), version.c_str(), result, nullptr)) {
        LOG_ERROR << "GetPluginDescription failed for IsLoaded: plugin " << name << " version "
                  << FoundVersion() << " failed: " << error::ErrorToString(error);
        return false;
    }
    LOG_DEBUG << "GetPluginDescription : plugin " << name << " version " << result.version;
    return result.isLoaded;
}

bool Collector::IsHangingMoreThan(int32_t minutes) {
    LOG_INFO << "IsHangingMoreThan started.";
    if (name.empty()) {
        LOG_DEBUG << "IsHangingMoreThan Custom plugin name is undefined, exiting with no hanging plugin.";
        return false;
    }
    const std::string found = FoundVersion();
    // No plug-in version yet: the run has not reached its plug-in, so nothing can hang.
    if (found.empty()) {
        LOG_DEBUG << "IsHangingMoreThan plugin " << name << " has not started a run yet.";
        return false;
    }
    LOG_DEBUG << "IsHangingMoreThan GetPluginDescription from " << name << " version " << found;
    PluginDescriptionResult result;
    if (Error error = pluginManager->GetPluginDescription(name.c_str(), found.c_str(), result, nullptr)) {
        LOG_WARNING << "Illegal state: GetPluginDescription failed for IsHangingMoreThan: plugin " << name
                    << " version " << found << " failed: " << error::ErrorToString(error);
        return false;
    }
    if (result.notFound) {
        LOG_WARNING << "Illegal state: GetPluginDescription no plugin found, for IsHangingMoreThan: plugin "
                    << name << " version " << found;
        return false;
    }
    if (!result.isLoaded) {
        LOG_WARNING
            << "Illegal state: GetPluginDescription no valid signature, for IsHangingMoreThan: plugin "
            << name << " version " << found;
        return false;
    }
    bool hanging = false;
    if (result.state == shared::plugin::kPluginRunning) {
        std::tm start = ParseTime(result.startTime);
        const int64_t start_seconds = static_cast<int64_t>(::timegm(&start));
        hanging =
            start_seconds * platform::kTicksPerSecond + int64_t{minutes} * 600'000'000 < platform::NowTicks();
    }
    LOG_INFO << "IsHangingMoreThan plugin " << name << " version " << found
             << (hanging ? " is hanging." : " is OK.");
    return hanging;
}

void Collector::Stop(int64_t timeout, bool quiet) noexcept {
    std::string found;
    try {
        found = FoundVersion();
        if (name.empty() || found.empty()) {
            if (!quiet) {
                LOG_DEBUG << "Collector::Stop custom collector is undefined.";
            }
            return;
        }
        shared::plugin::PluginTerminationState state;
        if (Error error = pluginManager->StopPlugin(name.c_str(), found.c_str(), timeout, state)) {
            LOG_ERROR << "StopPlugin plugin " << name << " version " << found
                      << " failed with error: " << error::ErrorToString(error);
        } else {
            LOG_INFO << "TerminatePlugin plugin " << name << " version " << found << " succeeded";
        }
    } catch (const std::exception& e) {
        try {
            LOG_ERROR << "name " << name << " version " << found << " error "
                      << error::ErrorToString(error::ErrorFromStdException(e, ""));
        } catch (...) {
        }
    } catch (...) {
        try {
            LOG_ERROR << "plugin " << name << " version " << found << " error "
                      << error::ErrorToString(error::ErrorFromException(std::current_exception(), ""));
        } catch (...) {
        }
    }
}

void Collector::StopInternalQueue() {
    if (!runsInParallel) return;
    LOG_DEBUG << "StopInternalQueue " << (isCustom ? std::string("custom collector ") : name + " " + version);
    queue.Clear();
    TelemetryEvent stop;
    stop.IsStop = true;
    queue.Push(stop);
    if (thread.joinable()) thread.join();
}

void Collector::ProcessingLoopFunc() {
    std::vector<char> filterBuffer(static_cast<size_t>(bufferSize), '\0');
    std::vector<char> envelopeBuffer(static_cast<size_t>(bufferSize), '\0');
    std::string pluginName, versionRange;
    while (true) {
        const TelemetryEvent item = queue.Pop();
        const Error error = ProcessInternal(item, filterBuffer, envelopeBuffer, pluginName, versionRange);
        if (item.IsStop) break;
        if (error) {
            LOG_ERROR << "ProcessingLoopFunc run failed for collector " << pluginName << " " << versionRange
                      << ": " << error::ErrorToString(error);
        }
    }
    LOG_DEBUG << "ProcessingLoopFunc exiting for collector  " << pluginName << " " << versionRange;
}

Collector::Error Collector::Process(const TelemetryEvent& event) {
    std::vector<char> filterBuffer(static_cast<size_t>(bufferSize), '\0');
    std::vector<char> envelopeBuffer(static_cast<size_t>(bufferSize), '\0');
    std::string pluginName, versionRange;
    return ProcessInternal(event, filterBuffer, envelopeBuffer, pluginName, versionRange);
}

void Collector::AddErrorUpload(json& output, const std::string& pluginId) {
    const int64_t now = platform::NowTicks();
    const int64_t seconds = (now - errorWindowStart) / platform::kTicksPerSecond;
    if (seconds > kErrorWindowSeconds) {
        LOG_VERBOSE << "Errors counter reset with diff: " << seconds;
        errorUploadCount = 0;
        errorWindowStart = now;
    }
    if (errorUploadCount < maxErrorUploads) {
        if (!output.contains("upload")) output["upload"] = json::array();
        output["upload"].push_back(BuildErrorUpload(output["error"], pluginId));
        ++errorUploadCount;
    } else {
        LOG_VERBOSE << "Skipping sending errors with 'number_of_errors': " << errorUploadCount;
    }
}

Collector::Error Collector::ProcessInternal(const TelemetryEvent& event, std::vector<char>& filterBuffer,
                                            std::vector<char>& envelopeBuffer, std::string& pluginName,
                                            std::string& versionRange) {
    if (event.IsStop) {
        LOG_DEBUG << "ProcessInternal event.IsStop";
        return {};
    }
    // The rules of required-collector runs follow the queued event; messages name the event the
    // plug-in sees (for the custom collector, the payload's).
    const uint32_t eventControl = event.SysEvent.dwControl;
    uint32_t control = eventControl;
    json eventPart;
    json configurationPart;
    if (Error error = ReadRunInput(event, pluginName, versionRange, control, eventPart, configurationPart)) {
        return error;
    }

    const auto severity = On220(eventControl);
    try {
        PluginDescriptionResult description;
        if (Error error =
                FindRunnablePlugin(pluginName, versionRange, eventControl, std::to_string(control), description)) {
            return error;
        }
        const std::string& found = description.version;
        const std::string named = " for plugin " + pluginName + " version " + found;
        if (Error error = CheckUploadAllowed(eventControl, named)) return error;
        const bool mocked = connectivity->mocked;

        const std::string input = json{{"event", eventPart}, {"configuration", configurationPart}}.dump();
        SetFoundVersion(found);
        LOG_INFO << "ExecutePlugin starts for plugin " << description.name << " version " << found;
        LOG_DEBUG << "Input propagated to Plugin Executor is: " << input;

        std::string output_text;
        if (Error error = ExecuteRunPlugin(description, pluginName, eventControl, input, output_text)) return error;
        if (mocked) {
            Error failure = CollectorError(
                CollectorErrorEnum::MockedUpload,
                "ExecutePlugin Mock mode, no data uploaded" + named + "\nPlugin output: " + output_text);
            LOG(severity) << failure.what();
            return failure;
        }

        LOG_VERBOSE << "ExecutePlugin output: " << output_text;
        const std::string plugin_id = FormatString("%s_ver_%s", description.name, found);
        json output = json::parse(output_text);
        if (HasPluginError(output)) AddErrorUpload(output, plugin_id);

        const UploadRun run{event,
                            eventControl,
                            pluginName,
                            found,
                            filterBuffer,
                            envelopeBuffer,
                            "ExecutePlugin plugin " + pluginName + " version " + found,
                            " for element plugin " + pluginName + " version " + found};
        return SendUpload(run, output);
    } catch (const std::exception& e) {
        Error failure = CollectorError(CollectorErrorEnum::RunFailed,
                                       "Collector ProcessInternal Exception: " +
                                           error::ErrorToString(error::ErrorFromStdException(e, "")));
        LOG_ERROR << failure.what();
        return failure;
    } catch (...) {
        Error failure =
            CollectorError(CollectorErrorEnum::RunFailed,
                           "Collector ProcessInternal Exception: " +
                               error::ErrorToString(error::ErrorFromException(std::current_exception(), "")));
        LOG_ERROR << failure.what();
        return failure;
    }
}

Collector::Error Collector::ReadRunInput(const TelemetryEvent& event, std::string& pluginName,
                                         std::string& versionRange, uint32_t& control, json& eventPart,
                                         json& configurationPart) {
    try {
        if (!isCustom) {
            pluginName = name;
            versionRange = version;
            eventPart = EventToJson(event.SysEvent);
            configurationPart = configuration;
            return {};
        }
        pluginName = "__custom_default__";
        versionRange = ">=1.0.0";
        const auto pieces = Utils::Split(Utils::Trim(event.Plugin), "_ver_");
        if (!pieces.empty()) pluginName = pieces[0];
        if (pieces.size() > 1) versionRange = pieces[1];
        std::error_code ec;
        if (!fs::exists(event.Payload, ec)) {
            Error error = CollectorError(CollectorErrorEnum::RunFailed,
                                         "Payload file doesn't not exist '" + event.Payload + "'");
            LOG_ERROR << error.what();
            return error;
        }
        try {
            json payload = Utils::LoadJsonFile(event.Payload);
            const json& payload_control = payload.at("dwControl");
            if (!payload_control.is_number() || !payload.at("dwEventType").is_number())
                throw std::invalid_argument("'dwControl' and 'dwEventType' must be numbers");
            // A control code is a whole number that fits 32 bits; any other number cannot be cast.
            if (!payload_control.is_number_integer() || payload_control.get<int64_t>() < 0 ||
                payload_control.get<int64_t>() > int64_t{UINT32_MAX})
                throw std::invalid_argument("'dwControl' must be a whole number from 0 to 4294967295");
            control = static_cast<uint32_t>(payload_control.get<int64_t>());
            configurationPart = payload.contains("configuration") ? payload["configuration"] : json::object();
            payload["time"] = event.SysEvent.time;
            eventPart = std::move(payload);
        } catch (const std::exception& e) {
            Error error = CollectorError(CollectorErrorEnum::RunFailed,
                                         "Custom Collector failed to parse using defaults '" + event.Plugin + "' " +
                                             error::ErrorToString(error::ErrorFromStdException(e, "")));
            LOG_ERROR << error.what();
            return error;
        }
    } catch (...) {
        Error error =
            CollectorError(CollectorErrorEnum::RunFailed,
                           "Collector ProcessInternal Exception: " +
                               error::ErrorToString(error::ErrorFromException(std::current_exception(), "")));
        LOG_ERROR << error.what();
        return error;
    }
    return {};
}

Collector::Error Collector::FindRunnablePlugin(const std::string& pluginName, const std::string& versionRange,
                                               uint32_t eventControl, const std::string& controlText,
                                               PluginDescriptionResult& description) {
    const auto severity = On220(eventControl);
    if (Error error = pluginManager->GetPluginDescription(pluginName.c_str(), versionRange.c_str(), description,
                                                          nullptr)) {
        Error result = CollectorError(CollectorErrorEnum::PluginNotFound,
                                      "GetPluginDescription failed for msg " + controlText + " plugin " + pluginName +
                                          " version_range " + versionRange +
                                          " failed: " + error::ErrorToString(error));
        LOG(severity) << result.what();
        return result;
    }
    if (description.notFound) {
        Error result = CollectorError(CollectorErrorEnum::PluginNotFound,
                                      "GetPluginDescription no plugin found, for msg " + controlText + " plugin " +
                                          pluginName + " version_range " + versionRange);
        LOG(severity) << result.what();
        return result;
    }
    const std::string invalid = "GetPluginDescription plugin signeture is not valid, for msg " + controlText +
                                " plugin " + pluginName + " version_range " + versionRange;
    if (!description.isLoaded) {
        LOG_ERROR << invalid;
        return CollectorError(CollectorErrorEnum::PluginNotLoaded, invalid);
    }
    if (!description.isSignatureValid) {
        LOG_WARNING << invalid;
        return CollectorError(CollectorErrorEnum::RunFailed, invalid);
    }
    return {};
}

Collector::Error Collector::CheckUploadAllowed(uint32_t eventControl, const std::string& named) {
    if (!connectivity) {
        Error result = CollectorError(CollectorErrorEnum::NoConnectivity,
                                      " _conn_module is not initialized correctly, no data uploaded" + named);
        LOG_ERROR << result.what();
        return result;
    }
    if (connectivity->mocked) return {};
    if (!connectivity->isCorvaneDevice && !connectivity->IsValidConsent()) {
        Error result =
            CollectorError(CollectorErrorEnum::NoConsent, "No valid consent was provided, no data uploaded" + named);
        LOG_ERROR << result.what();
        return result;
    }
    if (eventControl == kRequiredCollectorsEvent && !connectivity->IsCredentialsReady()) {
        Error result =
            CollectorError(CollectorErrorEnum::NoValidEnrollment, "No valid enrollment, no data uploaded" + named);
        LOG_ERROR << result.what();
        return result;
    }
    return {};
}

Collector::Error Collector::ExecuteRunPlugin(const PluginDescriptionResult& description,
                                             const std::string& pluginName, uint32_t eventControl,
                                             const std::string& input, std::string& output) {
    const auto severity = On220(eventControl);
    const std::string& found = description.version;
    if (onPluginStart) onPluginStart();
    FinishGuard finish(onPluginFinish);
    const char* input_text = input.c_str();
    const auto result = pluginManager->ExecutePlugin(description.name.c_str(), found.c_str(), input_text,
                                                     shared::plugin::PluginExecutionPolicy{}, nullptr, nullptr);
    if (Error error = result.GetError()) {
        Error failure = CollectorError(CollectorErrorEnum::ExecutionFailed,
                                       "ExecutePlugin plugin " + pluginName + " failed: " + error::ErrorToString(error));
        LOG(severity) << failure.what();
        return failure;
    }
    if (result.GetOutputSize() <= 1) {
        Error failure = CollectorError(CollectorErrorEnum::NoOutput,
                                       "ExecutePlugin msg plugin " + pluginName + " version " + found + " no output");
        LOG(severity) << failure.what();
        return failure;
    }
    output = result.GetOutput();
    return {};
}

Collector::Error Collector::SendUpload(const UploadRun& run, const json& output) {
    if (!output.is_object() || !output.contains("upload")) {
        const std::string message = run.pluginText + " no 'upload' defined in plugin's output json.";
        LOG(run.eventControl == kRequiredCollectorsEvent ? logging::error : logging::info) << message;
        return CollectorError(CollectorErrorEnum::NoUploadElement, message);
    }

    const json& upload = output["upload"];
    std::vector<const json*> elements;
    if (upload.is_array() || upload.is_object()) {
        for (const auto& element : upload) elements.push_back(&element);
    } else {
        elements.push_back(&upload);
    }

    bool any_element = false;
    Error recorded;
    for (const json* element : elements) {
        if (!element->is_object() || !element->contains("gun") || !element->contains("data")) {
            LOG_INFO << run.pluginText << " no 'gun' or 'data' defined in plugin's output json 'upload' element";
            continue;
        }
        any_element = true;
        LOG_INFO << run.pluginText << " data is ready to be sent.";
        if (Error error = SendElement(run, *element, recorded)) return error;
    }
    if (!any_element) {
        Error failure = CollectorError(CollectorErrorEnum::InvalidUploadElement,
                                       run.pluginText + " no 'gun' or 'data' defined in plugin's output at all.");
        LOG_ERROR << failure.what();
        return failure;
    }
    return recorded;
}

void Collector::SaveElement(const UploadRun& run, const json& element, const char* reason) {
    LOG_VERBOSE << "Saving data for Resend.";
    SaveForResend(MakeResendRecord(reason, run.pluginName, run.found, element.at("gun").get<std::string>(),
                                   element.at("data"), connectivity->GetDataValveClientInitTime(),
                                   platform::NowTicks(), run.event.Type.dwControl),
                  run.pluginName, run.found, cryptography);
}

Collector::Error Collector::SendElement(const UploadRun& run, const json& element, Error& recorded) {
    const std::string gun = element.at("gun").get<std::string>();
    try {
        const std::string data = element.at("data").dump();
        std::vector<char>& filterBuffer = run.filterBuffer;
        if (filterBuffer.size() < data.size() + 1) filterBuffer.resize(data.size() + 1);
        std::fill(filterBuffer.begin(), filterBuffer.end(), '\0');
        LOG_INFO << "Filtering CDM Trees...";
        if (Error filter_error = connectivity->FilterCDMTrees(data, gun, filterBuffer.data(), filterBuffer.size())) {
            const std::string message = "FilterCDMTrees failed" + run.elementText + error::ErrorToString(filter_error);
            LOG_ERROR << message;
            bool refetch = false;
            if (filter_error.type() == kNoRemoteConsentType) {
                if (connectivity->isCorvaneDevice) {
                    LOG_VERBOSE << "Refetch the filters from DataValve asap for Corvane device on no remote "
                                   "consent error.";
                    refetch = true;
                } else {
                    LOG_VERBOSE << "No remote consent.";
                    return CollectorError(CollectorErrorEnum::NoRemoteConsent,
                                          json{{"error", error::ErrorToString(filter_error)}}.dump());
                }
            }
            if (run.eventControl == kRequiredCollectorsEvent) {
                return CollectorError(
                    refetch ? CollectorErrorEnum::NoRemoteConsentRefetch : CollectorErrorEnum::FilterFailed, message);
            }
            SaveElement(run, element, "cdm");
            if (refetch) return CollectorError(CollectorErrorEnum::NoRemoteConsentRefetch, message);
            recorded = filter_error;
            return {};
        }

        LOG_INFO << "Formating Data for Publishing...";
        connectivity->FormatForPublishing(gun, BufferText(filterBuffer), run.envelopeBuffer);
        const std::string topic = connectivity->GetTelemetryTopic();
        const std::string envelope = BufferText(run.envelopeBuffer);
        const double size_kb = static_cast<double>(envelope.size() + 1) / 1024;
        LOG_INFO << "Message size: " << size_kb << " KB";
        if (size_kb > connectivity->switchS3UploadMaxMessageSize) {
            return SendToS3(run, element, gun, envelope, recorded);
        }
        return PublishEnvelope(run, element, topic, envelope, recorded);
    } catch (const std::exception& e) {
        Error failure = CollectorError(CollectorErrorEnum::RunFailed,
                                       "Collector ProcessInternal failed with exception" + run.elementText +
                                           " error " + error::ErrorToString(error::ErrorFromStdException(e, "")));
        LOG_ERROR << failure.what();
        return failure;
    } catch (...) {
        Error failure = CollectorError(
            CollectorErrorEnum::RunFailed,
            "Collector ProcessInternal failed with unknown excecption" + run.elementText + " " +
                error::ErrorToString(error::ErrorFromException(std::current_exception(), "")));
        LOG_ERROR << failure.what();
        return failure;
    }
}

Collector::Error Collector::SendToS3(const UploadRun& run, const json& element, const std::string& gun,
                                     const std::string& envelope, Error& recorded) {
    if (!connectivity->IsCredentialsReady()) {
        Error failure = CollectorError(CollectorErrorEnum::NoValidEnrollment,
                                       "proxy - (no valid enrolment during upload to s3)");
        LOG_ERROR << failure.what();
        if (run.eventControl == kRequiredCollectorsEvent) return failure;
        // Kept for the resend pass, which publishes once enrollment is back.
        SaveElement(run, element, "pub");
        recorded = failure;
        return {};
    }
    const std::string key = connectivity->GetDeviceUniqueId() + "_" +
                            Utils::FormatTimePoint(platform::NowTicks(), "%Y-%m-%d-%H-%M-%S", "-") + "_" +
                            Utils::ToLower(Utils::GetGun(gun)) + ".json";
    if (Error upload_error = connectivity->UploadToS3(connectivity->GetPublishDataS3Uri(), key, json(envelope))) {
        Error failure = CollectorError(
            CollectorErrorEnum::PublishFailed,
            json{{"http_code", 0}, {"iot_code", 0}, {"error", error::ErrorToString(upload_error)}}.dump());
        LOG_ERROR << "UploadToS3 failed" << run.elementText << " " << failure.what();
        if (run.eventControl == kRequiredCollectorsEvent) return failure;
        SaveElement(run, element, "pub");
        recorded = failure;
    }
    return {};
}

Collector::Error Collector::PublishEnvelope(const UploadRun& run, const json& element, const std::string& topic,
                                            const std::string& envelope, Error& recorded) {
    shared::iot::IoTResult result;
    bool sent = false;
    bool no_connection = false;
    if (byHttp) {
        result = connectivity->PubByHttp(topic, envelope);
        sent = (result.httpCode == 0 || result.httpCode == 200) && !result.error;
    } else if (connectivity->IsConnected()) {
        result = connectivity->Pub(topic, envelope);
        sent = result.iotCode == 0 && !result.error;
    } else {
        no_connection = true;
    }
    if (sent) return {};

    Error failure = CollectorError(
        CollectorErrorEnum::PublishFailed,
        json{{"http_code", result.httpCode}, {"iot_code", result.iotCode}, {"error", error::ErrorToString(result.error)}}
            .dump());
    if (run.eventControl == kRequiredCollectorsEvent) {
        if (no_connection) {
            return CollectorError(CollectorErrorEnum::PublishFailed,
                                  "proxy - (no iot connection during pub in required on start collector)");
        }
        return failure;
    }
    SaveElement(run, element, "pub");
    if (!no_connection) recorded = failure;
    return {};
}

}  // namespace zelko::plenar::agent
