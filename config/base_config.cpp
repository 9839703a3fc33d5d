#include "config/base_config.h"

#include <exception>
#include <vector>

#include "config/file_replace.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils_files.h"

namespace zelko::plenar::config {

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;
using shared::error::Error;

namespace {

bool IsArrayIndex(const std::string& token) {
    if (token.empty() || (token.size() > 1 && token[0] == '0')) return false;
    for (char c : token) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// The reference tokens of a pointer text; the library checks the text's syntax first.
std::vector<std::string> PointerTokens(const std::string& text) {
    (void)ordered_json::json_pointer(text);
    std::vector<std::string> tokens;
    if (text.empty()) return tokens;
    size_t start = 1;
    while (true) {
        size_t slash = text.find('/', start);
        std::string token =
            text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        std::string unescaped;
        for (size_t i = 0; i < token.size(); ++i) {
            if (token[i] == '~' && i + 1 < token.size()) {
                unescaped += token[i + 1] == '1' ? '/' : '~';
                ++i;
            } else {
                unescaped += token[i];
            }
        }
        tokens.push_back(unescaped);
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return tokens;
}

// The value at the pointer, or null when a member or element is missing, the token is "-" or a
// null lies on the way. Never adds anything to the document. With strict, a token that cannot apply
// (to a number, text or boolean, or a malformed array index) raises the library's pointer error;
// without, it only finds nothing.
const ordered_json* Resolve(const ordered_json& document, const std::string& pointer, bool strict) {
    const std::vector<std::string> tokens = PointerTokens(pointer);
    const ordered_json* current = &document;
    auto cannot_follow = [&]() -> const ordered_json* {
        if (strict) (void)document.at(ordered_json::json_pointer(pointer));
        return nullptr;
    };
    for (const std::string& token : tokens) {
        if (current->is_null()) return nullptr;
        if (current->is_object()) {
            auto member = current->find(token);
            if (member == current->end()) return nullptr;
            current = &*member;
        } else if (current->is_array()) {
            if (token == "-") return nullptr;
            if (!IsArrayIndex(token)) return cannot_follow();
            size_t index = 0;
            try {
                index = std::stoull(token);
            } catch (const std::exception&) {
                return cannot_follow();
            }
            if (index >= current->size()) return nullptr;
            current = &(*current)[index];
        } else {
            return cannot_follow();
        }
    }
    return current;
}

// Objects compare member by member whatever their order.
bool JsonEqual(const ordered_json& a, const ordered_json& b) { return json(a) == json(b); }

// The first member of an "eq" or "cont" selector: its name is the pointer. Null for an empty
// object, which names no pointer; anything but an object raises the library's iterator error.
const ordered_json* FirstMember(const ordered_json& selector, std::string& pointer) {
    if (selector.is_object() && selector.empty()) return nullptr;
    auto first = selector.begin();
    pointer = first.key();
    return &first.value();
}

}  // namespace

BaseConfig::BaseConfig(const std::string& name, const ordered_json& defaultDocument, const fs::path& folder,
                       const std::string& subFolder)
    : config(defaultDocument), folderPath(folder / subFolder) {
    filePath = folderPath / (name + "-config.json");
    if (!fs::exists(folderPath)) fs::create_directories(folderPath);
}

Error BaseConfig::SaveFile() {
    try {
        std::lock_guard lock(mutex);
        LOG_INFO << "Saving Remote Config...";
        std::string text = json(config).dump();
        LOG_DEBUG << filePath.string() << " is updated with " << text;
        ReplaceFileContent(filePath, text);
        return {};
    } catch (const std::exception& e) {
        Error error = agent::error::ErrorFromStdException(e, "");
        LOG_ERROR << "Error while saving the file: " << agent::error::ErrorToString(error);
        return error;
    }
}

Error BaseConfig::LoadFile() {
    try {
        std::lock_guard lock(mutex);
        ordered_json loaded = agent::Utils::LoadJsonFile(filePath);
        config = std::move(loaded);
        return {};
    } catch (const std::exception& e) {
        Error error = agent::error::ErrorFromStdException(e, "");
        LOG_ERROR << "Error while loading the file: " << agent::error::ErrorToString(error);
        return error;
    }
}

json BaseConfig::GetConfig() {
    std::lock_guard lock(mutex);
    return json(config);
}

Interpretation BaseConfig::EvaluateVariables(const ordered_json& selector) {
    std::lock_guard lock(mutex);
    const ordered_json& document = config;
    Interpretation variables;
    for (auto it = selector.begin(); it != selector.end(); ++it) {
        const std::string name = it.key();
        const ordered_json& selector = it.value();
        if (!selector.is_object()) continue;
        if (selector.contains("ex")) {
            const std::string pointer = selector.at("ex").get<std::string>();
            const ordered_json* found = Resolve(document, pointer, true);
            variables[name] = found != nullptr && !found->is_null();
        } else if (selector.contains("eq")) {
            std::string pointer;
            const ordered_json* expected = FirstMember(selector.at("eq"), pointer);
            if (expected == nullptr) {
                variables[name] = false;
                continue;
            }
            const ordered_json* found = Resolve(document, pointer, true);
            variables[name] = found != nullptr && !found->is_null() && JsonEqual(*found, *expected);
        } else if (selector.contains("cont")) {
            std::string pointer;
            const ordered_json* expected = FirstMember(selector.at("cont"), pointer);
            if (expected == nullptr) {
                variables[name] = false;
                continue;
            }
            const ordered_json* found = Resolve(document, pointer, false);
            bool contained = found != nullptr && found->is_array() && expected->is_array();
            if (contained) {
                const json haystack(*found);
                for (const ordered_json& needle : *expected) {
                    const json wanted(needle);
                    bool present = false;
                    for (const json& element : haystack) {
                        if (element == wanted) {
                            present = true;
                            break;
                        }
                    }
                    if (!present) {
                        contained = false;
                        break;
                    }
                }
            }
            variables[name] = contained;
        }
    }
    return variables;
}

}  // namespace zelko::plenar::config
