#include <string>
#include <utility>

#include "connectivity/connectivity_module.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "outside/http/http_errors.h"

namespace zelko::plenar::agent {

using shared::error::Error;
using shared::error::ErrorCategory;
using shared::iot::IoTResult;

namespace {

constexpr char kOrigin[] = "zelko-plenar-agent-service.exe";

bool IsClean(const IoTResult& result) { return result.httpCode == 0 && result.iotCode == 0 && !result.error; }

bool IsHttpSuccess(const IoTResult& result) {
    return result.httpCode == 200 && result.iotCode == 0 && !result.error;
}

std::string Codes(const IoTResult& result) {
    return std::to_string(result.httpCode) + " IoTCode: " + std::to_string(result.iotCode) +
           " Error: " + error::ErrorToString(result.error);
}

IoTResult Refused(Error error) {
    IoTResult result;
    result.error = std::move(error);
    return result;
}

Error ShadowFailure(const IoTResult& result) {
    return Error(ErrorCategory::EC_Component, 14,
                 MakeIotFailureText(result.httpCode, result.iotCode, result.error), "int");
}

Error NotInitialized() {
    return MakeIotDeviceError(IotDeviceErrors::NotInitialized, "IoT device is not initialized.");
}
Error EmptyTopic() { return MakeIotDeviceError(IotDeviceErrors::EmptyTopic, "topic is empty."); }

}  // namespace

Error ConnectivityModule::ConnectToIot() {
    if (!isCorvaneDevice) {
        LOG_INFO << "Not an Corvane device. Skipping IoT connection";
        std::lock_guard lock(iotLock);
        iotConnected = false;
        return {};
    }
    std::lock_guard lock(iotLock);
    try {
        if (!iotDevice) iotDevice = MakeIoTDevice();
        if (!iotDevice) throw std::runtime_error("The IoT device could not be made.");
        lastIotResult = iotDevice->Connect(connectSuccessCallback, resumeCallback, disconnectCallback,
                                           interruptCallback, callbackContext);
        if (lastIotResult.error) {
            if (lastIotResult.httpCode != 0) {
                iotConnected = false;
                connectionOpen = false;
                return Error(ErrorCategory::EC_Component, lastIotResult.httpCode, "ConnectToIot Http error ",
                             std::string(shared::http::kHttpStatusCodeType), kOrigin);
            }
            if (lastIotResult.iotCode != 0) {
                iotConnected = false;
                connectionOpen = false;
                return Error(ErrorCategory::EC_Component, lastIotResult.iotCode, "ConnectToIot IoT error",
                             "int", kOrigin);
            }
            return lastIotResult.error;
        }
        LOG_INFO << "Iot suceeded http code: " << lastIotResult.httpCode
                 << " and iot code: " << lastIotResult.iotCode;
        iotConnected = true;
        connectionOpen = true;
        if (!keepConnection) {
            LOG_DEBUG << "Request to close connection in " << closeConnectionAfterSec << " seconds.";
            ArmClose(IdleDeadline());
        }
        return {};
    } catch (...) {
        LOG_ERROR << "Iot Connect failed with unknown exception.";
        iotConnected = false;
        connectionOpen = false;
        return error::ErrorFromException(std::current_exception(), "ConnectToIot");
    }
}

IoTResult ConnectivityModule::Pub(const std::string& topic, const std::string& message) {
    LOG_INFO << "Publishing to iot";
    std::lock_guard lock(iotLock);

    Error refusal;
    if (std::cmp_greater(sentMsgs, maxSentMsgs) || std::cmp_greater(dataTransfered, maxDataTransfered)) {
        refusal = MakeIotDeviceError(IotDeviceErrors::DataLimitReached, "Data limit reached.");
    } else if (!iotDevice) {
        refusal = NotInitialized();
    } else if (topic.empty()) {
        refusal = EmptyTopic();
    } else if (!ValidatePayloadContents(message)) {
        refusal = MakeIotDeviceError(IotDeviceErrors::InvalidContent,
                                     "Payload contents are not in valid format (json).");
    }
    if (refusal) {
        LOG_ERROR << error::ErrorToString(refusal);
        return Refused(std::move(refusal));
    }

    if (!connectionOpen) {
        lastIotResult = iotDevice->Connect(connectSuccessCallback, resumeCallback, disconnectCallback,
                                           interruptCallback, callbackContext);
        if (!IsClean(lastIotResult)) {
            iotConnected = false;
            LOG_ERROR << "Connection failed: HttpCode: " << Codes(lastIotResult) << "\n";
            return lastIotResult;
        }
        connectionOpen = true;
    }

    IoTResult result = iotDevice->Pub(topic, message);
    LOG_DEBUG << "Pub(): topic: " << topic << "\n"
              << " message: " << message;
    if (IsClean(result)) {
        CountSent(message);
        if (!keepConnection) {
            LOG_DEBUG << "Request to close connection in " << closeConnectionAfterSec << " seconds.";
            ArmClose(IdleDeadline());
        }
    } else {
        LOG_ERROR << "Publishing failed: HttpCode: " << Codes(result) << "\n";
        iotConnected = false;
        // Drop the broken connection now; the next publish connects afresh.
        if (!keepConnection) ArmClose(platform::SteadyNowNanos());
    }
    return result;
}

IoTResult ConnectivityModule::PubByHttp(const std::string& topic, const std::string& message) {
    LOG_INFO << "PubByHttp to iot";
    std::lock_guard lock(iotLock);
    if (!iotDevice) {
        LOG_ERROR << "PubByHttp failed: IoT device is not initialized.";
        return Refused(NotInitialized());
    }
    if (topic.empty()) {
        LOG_ERROR << "PubByHttp failed: topic is empty.";
        return Refused(EmptyTopic());
    }
    IoTResult result = iotDevice->PublishByHttp(topic, message);
    LOG_DEBUG << "PubByHttp(): topic: " << topic;
    LOG_DEBUG << "PubByHttp(): message: " << message;
    if ((result.httpCode == 0 || result.httpCode == 200) && result.iotCode == 0 && !result.error) {
        LOG_INFO << "PubByHttp succeeded: HttpCode: " << Codes(result) << "\n";
        CountSent(message);
    } else {
        LOG_ERROR << "PubByHttp failed: HttpCode: " << Codes(result) << "\n";
    }
    return result;
}

void ConnectivityModule::CountSent(const std::string& message) {
    dataTransfered += message.size();
    ++sentMsgs;
    stats["data_transfered"] = dataTransfered;
    stats["sent_msgs"] = sentMsgs;
    SavePersistedSate();
}

IoTResult ConnectivityModule::Sub(const std::string& topic, const std::string& subscriberName,
                                  shared::iot::PayloadCallback callback, void* context) {
    LOG_INFO << "Subscribing to iot";
    std::lock_guard lock(iotLock);
    if (!iotDevice) {
        LOG_ERROR << "Subscribing failed: IoT device is not initialized.";
        return Refused(NotInitialized());
    }
    if (topic.empty()) {
        LOG_ERROR << "Subscribing failed: topic is empty.";
        return Refused(EmptyTopic());
    }
    IoTResult result = iotDevice->Sub(topic, subscriberName, callback, context);
    LOG_DEBUG << "Sub(): topic: " << topic;
    if (!IsClean(result)) {
        LOG_ERROR << "Subscribing failed: HttpCode: " << Codes(result);
    }
    return result;
}

IoTResult ConnectivityModule::Unsub(const std::string& topic, const std::string& subscriberName) {
    LOG_INFO << "UnSubscribing to topic :" << topic << " for subscriber : " << subscriberName;
    std::lock_guard lock(iotLock);
    if (!iotDevice) {
        LOG_ERROR << "UnSubscribing failed: IoT device is not initialized.";
        return Refused(NotInitialized());
    }
    if (topic.empty()) {
        LOG_ERROR << "UnSubscribing failed: topic is empty.";
        return Refused(EmptyTopic());
    }
    IoTResult result = iotDevice->Unsubscribe(topic, subscriberName);
    if (!IsClean(result)) {
        LOG_ERROR << "UnSubscribing failed: HttpCode: " << Codes(result);
    }
    return result;
}

Error ConnectivityModule::GetShadow(const std::string& shadowName, std::string& content) {
    std::lock_guard lock(iotLock);
    if (!iotDevice) return NotInitialized();
    IoTResult result = iotDevice->GetShadow(shadowName);
    if (!IsHttpSuccess(result)) return ShadowFailure(result);
    if (!result.content) return MakeIotDeviceError(IotDeviceErrors::InvalidContent, "The shadow is null.");
    content = *result.content;
    LOG_DEBUG << "GetShadow: \n"
              << " shadow: " << shadowName << " content: " << content;
    return {};
}

Error ConnectivityModule::UpdateShadow(const std::string& shadowName, const std::string& document) {
    std::lock_guard lock(iotLock);
    if (!iotDevice) return NotInitialized();
    IoTResult result = iotDevice->UpdateShadow(shadowName, document);
    LOG_DEBUG << "UpdateShadow(): \n"
              << " shadow: " << shadowName << " content: " << document;
    if (IsHttpSuccess(result)) return {};
    LOG_ERROR << "UpdateShadow failed: HttpCode: " << Codes(result) << "\n";
    return ShadowFailure(result);
}

Error ConnectivityModule::DeleteShadow(const std::string& shadowName) {
    std::lock_guard lock(iotLock);
    if (!iotDevice) return NotInitialized();
    IoTResult result = iotDevice->DeleteShadow(shadowName);
    LOG_DEBUG << "DeleteShadow(): \n"
              << " shadow: " << shadowName;
    if (IsHttpSuccess(result)) return {};
    LOG_ERROR << "DeleteShadow failed: HttpCode: " << Codes(result) << "\n";
    return ShadowFailure(result);
}

bool ConnectivityModule::ValidatePayloadContents(const std::string& message) {
    try {
        const auto document = nlohmann::json::parse(message);
        return !document.is_discarded();
    } catch (const std::exception& e) {
        LOG_ERROR << "Ivalid Payload Contents " << e.what();
        return false;
    }
}

bool ConnectivityModule::IsConnected() {
    std::lock_guard lock(iotLock);
    return iotConnected;
}

std::string ConnectivityModule::GetTelemetryTopic() {
    std::lock_guard lock(iotLock);
    if (!iotInfo) return {};
    return telemetryTopicPrefix + iotInfo->GetThingName();
}

}  // namespace zelko::plenar::agent
