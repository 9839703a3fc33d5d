#pragma once

// Network connectivity: the connected-state probe and the Network List Manager's connectivity
// events. On Linux the state comes, in this order, from a simulated value set through the control
// channel ("notify network ..."), from the override file <system root>/Network/connectivity, and
// from the routing table (a default route that is up). Changes are watched through netlink route
// and link messages, or by polling where netlink is refused, and delivered on the notification
// thread like the other notifications.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/guid.h"

namespace zelko::platform {

// NLM_CONNECTIVITY flags.
constexpr uint32_t kNlmConnectivityDisconnected = 0x0;
constexpr uint32_t kNlmConnectivityIpv4NoTraffic = 0x1;
constexpr uint32_t kNlmConnectivityIpv6NoTraffic = 0x2;
constexpr uint32_t kNlmConnectivityIpv4Subnet = 0x10;
constexpr uint32_t kNlmConnectivityIpv4LocalNetwork = 0x20;
constexpr uint32_t kNlmConnectivityIpv4Internet = 0x40;
constexpr uint32_t kNlmConnectivityIpv6Subnet = 0x100;
constexpr uint32_t kNlmConnectivityIpv6LocalNetwork = 0x200;
constexpr uint32_t kNlmConnectivityIpv6Internet = 0x400;

// COM results and interface ids that the sink answers with.
using HResult = int32_t;
constexpr HResult kSOk = 0;
constexpr HResult kENoInterface = static_cast<HResult>(0x80004002u);
constexpr HResult kEPointer = static_cast<HResult>(0x80004003u);
constexpr HResult kEFail = static_cast<HResult>(0x80004005u);
inline constexpr Guid kIidIUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr Guid kIidINetworkListManagerEvents{
    0xDCB00001, 0x570F, 0x4A9B, {0x8D, 0x69, 0x19, 0x9F, 0xDB, 0xA5, 0x72, 0x3B}};

// The connectivity-event sink, in the system's slot order.
class INetworkListManagerEvents {
  public:
    virtual HResult QueryInterface(const Guid& iid, void** out) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual HResult ConnectivityChanged(uint32_t new_connectivity) = 0;

  protected:
    ~INetworkListManagerEvents() = default;
};

// Registers the sink for connectivity changes: it is asked for kIidINetworkListManagerEvents (and
// keeps the reference it gives) and is called on the notification thread with the new flags at each
// change. The sink must stay alive until Unadvise. kSOk and a non-zero cookie, or the failure.
HResult AdviseNetworkListManagerEvents(INetworkListManagerEvents* sink, uint32_t* cookie);
// Ends the registration and releases the sink's reference. Once it returns the sink is not being
// called and will not be again.
HResult UnadviseNetworkListManagerEvents(uint32_t cookie);

// The current connectivity flags. `problem`, when given, receives why the override file was ignored
// (empty when it was absent or used).
uint32_t QueryNetworkConnectivity(std::string* problem = nullptr);

// The connected-state probe: true when any internet connectivity is seen (flags: the connectivity
// flags); false with GetLastError kErrorNetworkUnreachable when there is none.
bool QueryInternetConnectedState(uint32_t* flags, std::string* problem = nullptr);

// Sets (or clears with nullopt) the simulated connectivity that takes precedence over the machine's.
void SetSimulatedNetworkConnectivity(std::optional<uint32_t> flags);

// Makes the change watcher look at the state again now, as if the network had changed (tests, and
// after the override file was written).
void RecheckNetworkConnectivity();

// "connected" (IPv4 internet), "ipv6" (IPv6 internet only), "disconnected", or flags as a decimal or
// 0x-hexadecimal 32-bit number, with blanks around; nullopt for anything else.
std::optional<uint32_t> ParseConnectivityText(std::string_view text);

std::filesystem::path NetworkConnectivityOverridePath();

// Whether a routing table in the text forms of the kernel ("/proc/net/route", "/proc/net/ipv6_route")
// holds a default route that is up, off the loopback interface and not a rejecting route.
bool RouteTableHasIpv4Default(std::string_view table);
bool RouteTableHasIpv6Default(std::string_view table);

}  // namespace zelko::platform
