#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "outside/error/error.h"
#include "outside/iot/iot_credential.h"
#include "outside/iot/iot_info.h"
#include "outside/iot/iot_result.h"
#include "outside/iot/payload.h"

namespace zelko::shared::http {
class IHttpClient;
}

namespace zelko::shared::iot {

// Connection callbacks; all run on a thread of the library, never inside a call of the caller.
// The first connection succeeded (session present flag).
using ConnectionSuccessCallback = void (*)(bool sessionPresent, void* context);
// The connection came back after an interruption (session present flag).
using ConnectionResumeCallback = void (*)(bool sessionPresent, void* context);
// Disconnect ended the connection.
using DisconnectCallback = void (*)(void* context);
// The connection was lost; the library reconnects by itself.
using InterruptCallback = void (*)(void* context);

// One thing's connection to the IoT broker: MQTT 3.1.1 over TLS with the thing's certificate
// (client id = thing name, QoS 1), and named shadows, HTTP publish and temporary credentials over
// HTTPS with the same certificate. Calls are safe from any thread. No callback runs after
// Disconnect returns or after destruction.
class IoTDevice {
  public:
    // The information is copied; the HTTP client is not used (HTTPS goes through the library's own).
    IoTDevice(const IotInfo* info, http::IHttpClient* httpClient);
    IoTDevice(const IoTDevice&) = delete;
    IoTDevice& operator=(const IoTDevice&) = delete;
    virtual ~IoTDevice();

    // Opens the connection and waits for the broker's answer; the success callback follows on the
    // library's thread. After a success, a lost connection is retried with back-off.
    virtual IoTResult Connect(ConnectionSuccessCallback onSuccess, ConnectionResumeCallback onResume,
                              DisconnectCallback onDisconnect, InterruptCallback onInterrupt,
                              void* context);
    virtual IoTResult Disconnect();
    // QoS 1; returns when the broker acknowledged, or with an error after the operation timeout.
    virtual IoTResult Pub(const std::string& topic, const std::string& message);
    virtual IoTResult PublishByHttp(const std::string& topic, const std::string& message);
    // Several named subscribers may share a topic; each gets every message.
    virtual IoTResult Sub(const std::string& topic, const std::string& subscriberName,
                          PayloadCallback callback, void* context);
    // Waits for a delivery to that subscriber in flight; the topic is left when its last
    // subscriber goes.
    virtual IoTResult Unsubscribe(const std::string& topic, const std::string& subscriberName);
    // content holds the shadow document on success.
    virtual IoTResult GetShadow(const std::string& shadowName);
    virtual IoTResult UpdateShadow(const std::string& shadowName, const std::string& document);
    virtual IoTResult DeleteShadow(const std::string& shadowName);
    // The current credential, fetched when there is none or it is about to expire; null when none
    // could be had.
    virtual std::shared_ptr<IoTCredential> GetCredentials();

    // Bound on each wait for the broker or the HTTPS side (default 10 s).
    void SetOperationTimeout(std::chrono::milliseconds timeout);
    // Bounds of the reconnection back-off (default 1 s doubling up to 32 s).
    void SetReconnectDelay(std::chrono::seconds min, std::chrono::seconds max);

  protected:
    // For stand-ins that derive from the device: no connection data, no network.
    IoTDevice();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zelko::shared::iot
