#include "outside/iot/iot_device.h"

#include "outside/iot/iot_errors.h"

namespace zelko::shared::iot {

class IoTDevice::Impl {};

namespace {
IoTResult NotBuilt() {
    IoTResult result;
    result.error = MakeConnectionError(ConnectionFamily::MqttClientAwsErrors, 1, kAwsSocketClosed, "not built yet");
    return result;
}
}  // namespace

IoTDevice::IoTDevice() = default;
IoTDevice::IoTDevice(const IotInfo* info, http::IHttpClient* httpClient) : impl_(std::make_unique<Impl>()) {}
IoTDevice::~IoTDevice() = default;

IoTResult IoTDevice::Connect(ConnectionSuccessCallback, ConnectionResumeCallback, DisconnectCallback,
                             InterruptCallback, void*) {
    return NotBuilt();
}
IoTResult IoTDevice::Disconnect() { return {}; }
IoTResult IoTDevice::Pub(const std::string&, const std::string&) { return NotBuilt(); }
IoTResult IoTDevice::PublishByHttp(const std::string&, const std::string&) { return NotBuilt(); }
IoTResult IoTDevice::Sub(const std::string&, const std::string&, PayloadCallback, void*) { return NotBuilt(); }
IoTResult IoTDevice::Unsubscribe(const std::string&, const std::string&) { return NotBuilt(); }
IoTResult IoTDevice::GetShadow(const std::string&) { return NotBuilt(); }
IoTResult IoTDevice::UpdateShadow(const std::string&, const std::string&) { return NotBuilt(); }
IoTResult IoTDevice::DeleteShadow(const std::string&) { return NotBuilt(); }
std::shared_ptr<IoTCredential> IoTDevice::GetCredentials() { return nullptr; }
void IoTDevice::SetOperationTimeout(std::chrono::milliseconds) {}
void IoTDevice::SetReconnectDelay(std::chrono::seconds, std::chrono::seconds) {}

}  // namespace zelko::shared::iot
