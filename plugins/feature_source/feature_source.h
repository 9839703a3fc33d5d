#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "plugins/interface/plugin_interface.h"

namespace zelko::plenar::agent {

// Answers a remote-configuration document of the service's "RemoteConfigs" folder by name:
// input {"name": text}, answer {"data": document} or {"agent_error": text}. Reads under the
// folder's named mutex; keeps nothing between calls.
class FeatureSource : public shared::plugin::IDynamicPluginModule {
  public:
    static constexpr std::chrono::milliseconds kMutexWait{30000};

    // Defined in the library, which exports them for hosts that link against the class.
    FeatureSource();
    FeatureSource(const FeatureSource&);
    FeatureSource& operator=(const FeatureSource&);
    ~FeatureSource() override;

    // Does nothing.
    void Execute(const char* input, char* output) override;
    void Execute(const char* input, char*& output, const shared::plugin::PluginBufferAllocator& allocator) override;

    // The answer text for the input, waiting at most `wait` for the mutex. Never throws.
    static std::string Answer(const char* input, std::chrono::milliseconds wait = kMutexWait);

    // "RemoteConfigs" in the agent's folder, where the service writes them (platform::AgentFolder).
    static std::filesystem::path ConfigFolder();
    // Letters, digits, "-", "_" and "." without "..": the name reaches a file path and a kernel
    // object's name.
    static bool IsValidConfigName(const std::string& name);
};

shared::plugin::IDynamicPluginModule* LoadPlugin();

}  // namespace zelko::plenar::agent
