#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "outside/error/error.h"

namespace zelko::plenar::agent {

// One change seen by a RegistryMonitor. Never raises when built: a failure is kept in error.
struct RegistryData {
    std::string key;      // the watched key's path
    std::string sub_key;  // the value's name; empty for a whole-key change
    std::string value;    // the value's text; empty for a whole-key change
    shared::error::Error error;

    RegistryData() = default;
    // Texts that may be null; a null one leaves all texts empty and sets error.
    RegistryData(const char* key_, const char* sub_key_, const char* value_) noexcept;
    RegistryData(const std::string& key_, const std::string& sub_key_, const std::string& value_) noexcept;
};

// Watches a key under HKEY_LOCAL_MACHINE with its whole subtree on a thread of its own. Without
// listed values it reports every change of the key as one record with empty texts; with them it
// reports each listed value whose text changed. A failure of the watch is reported once through
// onError, after which the thread ends; the owner creates a new monitor to watch again.
//
// The callbacks run on the monitor's thread. Its destructor waits for that thread, so the owner
// releases it from another thread and never while holding a lock that a callback takes.
class RegistryMonitor {
  public:
    using ChangeCallback = std::function<void(RegistryData)>;
    using ErrorCallback = std::function<void(shared::error::Error)>;

    // Reads each listed value; one that reads empty takes its default, which is also written to
    // the registry. Then starts the thread (a thread that cannot start raises std::system_error).
    RegistryMonitor(const std::string& subKey, const std::vector<std::pair<std::string, std::string>>& values,
                    ChangeCallback onChange, ErrorCallback onError);
    ~RegistryMonitor();
    RegistryMonitor(const RegistryMonitor&) = delete;
    RegistryMonitor& operator=(const RegistryMonitor&) = delete;

    // The last known text of a listed value; empty for a name that is not listed.
    std::string GetValue(const std::string& name) const;

  private:
    struct State;

    static void Monitor(const std::shared_ptr<State>& state);
    static void CompareValues(State& state);

    // Shared with the thread, so that a monitor released on its own thread (inside a callback) does
    // not pull the thread's data away from under it.
    std::shared_ptr<State> state;
    std::thread thread;
};

}  // namespace zelko::plenar::agent
