// A collector plug-in for the collector tests. What it does comes from its input's "configuration":
//   "answers": {event type: answer}  the answer for the event's "dwEventType" (else "answer")
//   "answer": JSON                   answered as compact JSON; a string is answered as it stands
//   "mode": "fail"                   raises, so the execution fails
//   "mode": "hang", "ready": fifo    writes 'r' into the fifo, then never returns
//   "mode": "large", "size", "gun"   one upload element whose data is a text of "size" bytes
//   "mode": "echo", "gun"            one upload element whose data is the whole input

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "plugins/interface/plugin_interface.h"

namespace {

using nlohmann::json;
using zelko::shared::plugin::IDynamicPluginModule;
using zelko::shared::plugin::PluginBufferAllocator;

std::string Answer(const json& input) {
    const json configuration = input.value("configuration", json::object());
    const std::string mode = configuration.value("mode", "");
    if (mode == "fail") throw std::runtime_error("collector test plug-in failed");
    if (mode == "hang") {
        if (std::FILE* ready = std::fopen(configuration.value("ready", "").c_str(), "w")) {
            std::fputc('r', ready);
            std::fclose(ready);
        }
        while (true) ::pause();
    }
    if (mode == "large") {
        json element{{"gun", configuration.value("gun", "")},
                     {"data", std::string(configuration.value("size", size_t{0}), 'x')}};
        return json{{"upload", json::array({element})}}.dump();
    }
    if (mode == "echo") {
        json element{{"gun", configuration.value("gun", "")}, {"data", input}};
        return json{{"upload", json::array({element})}}.dump();
    }
    json answer = configuration.value("answer", json(""));
    if (auto answers = configuration.find("answers"); answers != configuration.end()) {
        const std::string type = std::to_string(input["event"].value("dwEventType", 0u));
        answer = answers->value(type, json(""));
    }
    return answer.is_string() ? answer.get<std::string>() : answer.dump();
}

class CollectorTestPlugin : public IDynamicPluginModule {
  public:
    void Execute(const char*, char*) override {}
    void Execute(const char* input, char*& output, const PluginBufferAllocator& allocator) override {
        const std::string answer = Answer(json::parse(input));
        if (allocator.ReallocateOutputBuffer(output, answer.size() + 1) == nullptr) return;
        std::memcpy(output, answer.c_str(), answer.size() + 1);
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) IDynamicPluginModule* LoadPlugin() {
    return new CollectorTestPlugin;
}
