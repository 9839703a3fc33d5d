#pragma once

// The one way a setting is read from a JSON document (a configuration file or a document from the
// cloud). A mistyped or out-of-range value gives the default and one warning naming the document and
// the key; an absent key (or an absent, null document) gives the default at debug level only, since
// documents leave optional keys out. Nothing here throws, whatever the document holds.

#include <chrono>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace zelko::plenar::agent::Settings {

using json = nlohmann::json;

inline constexpr int64_t kMaxInt = std::numeric_limits<int64_t>::max();
inline constexpr int64_t kMinInt = std::numeric_limits<int64_t>::min();

// A whole number in [min, max]. A float that holds a whole number is taken; any other type is not.
int64_t Int(const json& doc, std::string_view document, std::string_view key, int64_t def,
            int64_t min = kMinInt, int64_t max = kMaxInt);

// A number (whole or not) in [min, max]; NaN and infinities are out of range.
double Double(const json& doc, std::string_view document, std::string_view key, double def,
              double min = std::numeric_limits<double>::lowest(),
              double max = std::numeric_limits<double>::max());

// Only true and false count as booleans.
bool Bool(const json& doc, std::string_view document, std::string_view key, bool def);

std::string String(const json& doc, std::string_view document, std::string_view key, std::string def);

// An object (or, for Array, an array) member; anything else gives an empty one with the warning.
json Object(const json& doc, std::string_view document, std::string_view key);
json Array(const json& doc, std::string_view document, std::string_view key);

// Whether the key is present (doc is an object holding it); no log line.
bool Has(const json& doc, std::string_view key);

// Intervals: a count of the unit, at least min (one second unless the caller knows better).
inline std::chrono::milliseconds Milliseconds(const json& doc, std::string_view document, std::string_view key,
                                              int64_t def, int64_t min = 1000,
                                              int64_t max = int64_t{366} * 24 * 3600 * 1000) {
    return std::chrono::milliseconds(Int(doc, document, key, def, min, max));
}
inline std::chrono::seconds Seconds(const json& doc, std::string_view document, std::string_view key, int64_t def,
                                    int64_t min = 1, int64_t max = int64_t{366} * 24 * 3600) {
    return std::chrono::seconds(Int(doc, document, key, def, min, max));
}
inline std::chrono::minutes Minutes(const json& doc, std::string_view document, std::string_view key, int64_t def,
                                    int64_t min = 1, int64_t max = int64_t{366} * 24 * 60) {
    return std::chrono::minutes(Int(doc, document, key, def, min, max));
}

// Nesting deeper than this marks a document as damaged: it is refused rather than stored.
inline constexpr int kMaxDocumentDepth = 64;
int Depth(const json& doc);

// Parses text as JSON and refuses, with a warning naming the document, what is not JSON or is
// nested deeper than kMaxDocumentDepth; the result is then discarded (null).
json Parse(std::string_view text, std::string_view document);

}  // namespace zelko::plenar::agent::Settings
