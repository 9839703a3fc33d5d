#pragma once

// Records of telemetry that a collector run could not deliver: one encrypted JSON file per upload
// element in the resend folder, read back by the telemetry module's resend pass.

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "foundation/cryptography.h"

namespace zelko::plenar::agent {

// "C:\ProgramData\Zelko\Zelko Plenar Agent\Resend" of the machine.
std::filesystem::path ResendFolder();

// A save is refused while the files of the resend folder hold more than this many bytes.
inline constexpr uintmax_t kResendFolderCap = 100'000'000;

// Format and separator of the record's "time" and "last_data_valve" (UTC, 7-digit fraction).
inline constexpr const char* kResendTimeFormat = "%Y-%m-%d %H:%M:%S";
inline constexpr const char* kResendTimeSeparator = ".";

// "resend_" + local "%Y-%m-%d_%H-%M-%S" + "-" + three-digit milliseconds of `ticks`, then, for the
// n-th clash within that millisecond, "_" + n; then ".rsnd". Names sort in the order of writing.
std::string ResendFileName(int64_t ticks, int clash = 0);

// The record of one upload element: reason "cdm" (filtering failed) or "pub" (not published).
nlohmann::json MakeResendRecord(const std::string& reason, const std::string& collector,
                                const std::string& ver, const std::string& gun, const nlohmann::json& data,
                                int64_t lastDataValve, int64_t now, uint32_t eventType);

// One record as the resend pass reads it. A file that cannot be read as an encrypted JSON object,
// lacks the texts "collector", "ver", "gun" or "data", or carries times or an event type the pass
// cannot use (with "time", "last_data_valve" and "event_type" all present: "reason" missing, a
// non-numeric "event_type", a time without its fraction) is corrupted: it is removed with the
// warning "Corrupted file removed " + path and none is returned, so the pass goes on with the next
// file. A removal that fails raises, which ends the pass.
std::optional<nlohmann::json> LoadResendRecord(const std::filesystem::path& path,
                                               const crypto::Cryptography& crypto);

}  // namespace zelko::plenar::agent
