#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/cryptography.h"
#include "plugins/interface/plugin_interface.h"

namespace zelko::shared::plugin {

// Answers the compliance report of the encrypted message file that a module event names:
// input {"event": the event record}, answer the report's JSON text, or the empty text.
class PluginModule : public IDynamicPluginModule {
  public:
    // The key comes from the identity the service encrypts with (ServiceDeviceSnrId of the
    // "Configuration Files" folder beside the running program).
    PluginModule();
    explicit PluginModule(std::shared_ptr<plenar::crypto::Cryptography> cryptography);
    // Member by member; the Cryptography is shared between copies. Defined in the library, which
    // exports them for hosts that link against the class.
    PluginModule(const PluginModule&);
    PluginModule& operator=(const PluginModule&);
    ~PluginModule() override;

    // Does nothing.
    void Execute(const char* input, char* output) override;
    // One call at a time per object: the event is kept in the fields.
    void Execute(const char* input, char*& output, const PluginBufferAllocator& allocator) override;

    void ReadEventRecord(const nlohmann::json& event);

  private:
    uint32_t dwControl = 0;
    uint32_t dwEventType = 0;
    uint32_t dwChannel = 0;
    uint32_t dwLevel = 0;
    uint64_t dataSize = 0;
    std::vector<uint8_t> lpEventData;
    std::string time;
    std::shared_ptr<plenar::crypto::Cryptography> cryptography;
};

}  // namespace zelko::shared::plugin
