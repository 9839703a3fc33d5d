#include "foundation/utils_files.h"

#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "platform/agent_folder.h"
#include "platform/file_replace.h"
#include "platform/paths.h"

namespace zelko::plenar::agent::Utils {

namespace fs = std::filesystem;

namespace {

constexpr const char* kWinEventsPassword = "Tq7vR2mXc9LpW4sJd0HbN6yKf3GzA8eUo1iVw5QnZtE=";

// Raises when the path is absent or its existence cannot be tested.
void RequireExisting(const fs::path& path) {
    std::error_code ec;
    bool exists = fs::exists(path, ec);
    if (ec) throw fs::filesystem_error("exists", path, ec);
    if (!exists) throw std::runtime_error("file doesn't not exist " + path.string());
}

// Paths may come in Windows form, so both separators count.
std::string FileNamePart(const std::string& path) {
    auto pos = path.find_last_of("\\/");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

// Far above any document the agent keeps, yet a few kilobytes of compressed data could otherwise
// inflate to gigabytes.
constexpr size_t kMaxEncryptedJsonBytes = size_t{64} * 1024 * 1024;

struct InflatedTooLarge : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Inflates a whole zlib stream of at most limit bytes; damaged or cut data, or more, raises.
std::string Inflate(const std::string& compressed, size_t limit) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) throw std::runtime_error("Failed to decompress data");
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());

    std::string text;
    std::vector<char> chunk(64 * 1024);
    int result = Z_OK;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(chunk.data());
        stream.avail_out = static_cast<uInt>(chunk.size());
        result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) break;
        const size_t produced = chunk.size() - stream.avail_out;
        if (produced > limit - text.size()) {
            inflateEnd(&stream);
            throw InflatedTooLarge("Decompressed data exceeds " + std::to_string(limit) + " bytes");
        }
        text.append(chunk.data(), produced);
    } while (result != Z_STREAM_END);
    inflateEnd(&stream);
    if (result != Z_STREAM_END) throw std::runtime_error("Failed to decompress data");
    return text;
}

std::string Deflate(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::string compressed(size, '\0');
    if (compress(reinterpret_cast<Bytef*>(compressed.data()), &size,
                 reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size())) != Z_OK) {
        throw std::runtime_error("Failed to compress data");
    }
    compressed.resize(size);
    return compressed;
}

}  // namespace

fs::path GetExecutableFilePath() { return platform::ExecutablePath(); }

fs::path GetExecutableDirectory() {
    const fs::path agent = platform::AgentFolder();
    if (agent.empty()) return {};
    std::error_code ec;
    fs::path folder = fs::absolute(agent, ec);
    return ec ? agent : folder;
}

std::string ExpandEnvironment(const std::string& text) { return platform::ExpandEnvironmentStrings(text); }

nlohmann::json LoadJsonFile(const fs::path& path) {
    RequireExisting(path);
    std::ifstream in(path);
    nlohmann::json document = nlohmann::json::parse(in);
    LOG_VERBOSE << "Json loaded: " << document.dump();
    return document;
}

void SaveJsonFile(const fs::path& path, const nlohmann::json& document) {
    const std::string text = document.dump();
    LOG_DEBUG << path.string() << " is updated with " << text;
    switch (platform::ReplaceFileContent(path, text)) {
        case platform::FileReplace::Ok:
            break;
        case platform::FileReplace::OpenFailed:
            LOG_ERROR << path.string() << " File could not be open.";
            break;
        case platform::FileReplace::WriteFailed:
            LOG_ERROR << path.string() << " File could not be written.";
            break;
    }
}

nlohmann::json LoadConfigFile(const fs::path& path, bool use_variant, const std::string& variant) {
    return LoadConfigFile(path, use_variant, variant, DefaultConfigs());
}

nlohmann::json LoadConfigFile(const fs::path& path, bool use_variant, const std::string& variant,
                              const DefaultConfigTable& defaults) {
    const std::string path_text = path.string();
    ConfigVariant set = ConfigVariant::Standard;
    if (use_variant) {
        if (variant == "sub") {
            LOG_INFO << "Config file Subscription";
            set = ConfigVariant::Subscription;
        } else {
            LOG_INFO << "Config file Fetch5mins";
            set = ConfigVariant::Fetch5mins;
        }
    }

    try {
        return LoadJsonFile(path);
    } catch (...) {
        if (path_text.find("zelko-retries-config.json") == std::string::npos &&
            path_text.find("zelko-scheduler-config.json") == std::string::npos) {
            LOG_ERROR << "Failed to load config: " << path_text << " loading defaults.";
        } else {
            LOG_WARNING << "Failed on misc config";
            LOG_DEBUG << path_text << " loading defaults.";
        }
        auto error = error::ErrorFromException(std::current_exception(), "common");
        LOG_DEBUG << " due to " << error::ErrorToString(error);
    }

    const std::string file_name = FileNamePart(path_text);
    const std::string* document = FindDefaultConfig(defaults, file_name, set);
    if (document == nullptr) {
        LOG_ERROR << "Failed to load default config: " << file_name;
        return nlohmann::json::object();
    }
    try {
        return nlohmann::json::parse(*document);
    } catch (const std::exception& e) {
        LOG_ERROR << "Failed to load default config, critical: " << file_name << "exception: " << e.what();
    } catch (...) {
        LOG_ERROR << "Failed to load default config, critical: " << file_name;
    }
    return nlohmann::json::object();
}

nlohmann::json LoadEncryptedJsonFile(const fs::path& path, const crypto::Cryptography& crypto) {
    RequireExisting(path);
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) throw std::runtime_error("Can not open " + path.string());
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    try {
        text = Inflate(crypto.Decrypt(data), kMaxEncryptedJsonBytes);
    } catch (const InflatedTooLarge& e) {
        LOG_WARNING << "Encrypted file " << path.string() << " refused: " << e.what();
        throw std::runtime_error(std::string(e.what()) + " in " + path.string());
    }
    return nlohmann::json::parse(text);
}

void SaveEncryptedJsonFile(const fs::path& path, const nlohmann::json& document,
                           const crypto::Cryptography& crypto) {
    const std::vector<unsigned char> encrypted = crypto.Encrypt(Deflate(document.dump()));
    switch (platform::ReplaceFileContent(
        path, std::string_view(reinterpret_cast<const char*>(encrypted.data()), encrypted.size()))) {
        case platform::FileReplace::Ok:
            break;
        case platform::FileReplace::OpenFailed:
            throw std::runtime_error("Can not open " + path.string() + " for writing");
        case platform::FileReplace::WriteFailed:
            throw std::runtime_error("Can not write " + path.string());
    }
}

nlohmann::json LoadWinEventsConfig(const fs::path& folder, const std::string& subfolder) {
    const fs::path path = folder / subfolder / "win-events-config.ejson";
    std::error_code ec;
    bool exists = fs::exists(path, ec);
    if (ec) throw fs::filesystem_error("exists", path, ec);
    if (!exists) throw std::logic_error("no configuration file found");

    nlohmann::json document = LoadEncryptedJsonFile(path, crypto::Cryptography(kWinEventsPassword));
    if (!document.is_object() || !document.contains("queries_by_evnet_id") ||
        !document["queries_by_evnet_id"].is_array()) {
        throw std::logic_error("no queries found in the configuration file");
    }
    return document;
}

}  // namespace zelko::plenar::agent::Utils
