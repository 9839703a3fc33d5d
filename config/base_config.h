#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "config/condition.h"
#include "outside/error/error.h"

namespace zelko::plenar::config {

// A named JSON configuration kept in memory and in its own file, both guarded by one recursive lock.
// Always owned through a shared pointer.
class BaseConfig : public std::enable_shared_from_this<BaseConfig> {
  public:
    // The file is folder/subFolder/name + "-config.json"; the folder is created when missing. The
    // file is not read here: the owner calls LoadFile.
    BaseConfig(const std::string& name, const nlohmann::ordered_json& defaultDocument,
               const std::filesystem::path& folder, const std::string& subFolder);
    virtual ~BaseConfig() = default;
    BaseConfig(const BaseConfig&) = delete;
    BaseConfig& operator=(const BaseConfig&) = delete;

    // Writes the document, keys sorted, without indentation. A failed write is returned as an Error
    // (category 2, code 1) and the old file stays whole.
    virtual shared::error::Error SaveFile();
    // Replaces the document by the file's; on failure the document stays as it was.
    shared::error::Error LoadFile();
    // A copy of the document with its keys sorted.
    nlohmann::json GetConfig();
    // The variables one selector of a condition defines over this document (see ConfigService).
    Interpretation EvaluateVariables(const nlohmann::ordered_json& selector);

  protected:
    nlohmann::ordered_json config;
    std::filesystem::path filePath;
    std::filesystem::path folderPath;
    std::recursive_mutex mutex;
};

}  // namespace zelko::plenar::config
