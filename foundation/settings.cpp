#include "foundation/settings.h"

#include <cmath>
#include <utility>
#include <vector>

#include "foundation/logging.h"

namespace zelko::plenar::agent::Settings {

namespace {

const json* Find(const json& doc, std::string_view key) {
    if (!doc.is_object()) return nullptr;
    auto it = doc.find(key);
    return it == doc.end() ? nullptr : &*it;
}

void Warn(std::string_view document, std::string_view key, std::string_view what, const std::string& def) {
    LOG_WARNING << "Setting \"" << key << "\" of " << document << " " << what << "; using " << def;
}

// A key the document leaves out is an optional setting taking its default: said at debug level only,
// or every start would warn once per optional key. A document that is absent as a whole (null) is
// the same; one of another shape is damaged and warns.
void Missing(const json& doc, std::string_view document, std::string_view key, const std::string& def) {
    if (doc.is_object() || doc.is_null()) {
        LOG_DEBUG << "Setting \"" << key << "\" of " << document << " is absent; using " << def;
    } else {
        Warn(document, key, "is in a document that is not an object", def);
    }
}

std::string Shown(const json& value) {
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    if (text.size() > 64) text = text.substr(0, 61) + "...";
    return text;
}

}  // namespace

bool Has(const json& doc, std::string_view key) { return Find(doc, key) != nullptr; }

int64_t Int(const json& doc, std::string_view document, std::string_view key, int64_t def, int64_t min,
            int64_t max) {
    const json* value = Find(doc, key);
    if (!value) {
        Missing(doc, document, key, std::to_string(def));
        return def;
    }
    bool ok = false;
    int64_t result = 0;
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        result = value->get<int64_t>();
        ok = true;
    } else if (value->is_number_unsigned()) {
        const uint64_t u = value->get<uint64_t>();
        if (u <= static_cast<uint64_t>(kMaxInt)) {
            result = static_cast<int64_t>(u);
            ok = true;
        } else {
            Warn(document, key, "is out of range (" + Shown(*value) + ")", std::to_string(def));
            return def;
        }
    } else if (value->is_number_float()) {
        const double d = value->get<double>();
        // 2^63 itself does not fit, hence the strict upper bound.
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            result = static_cast<int64_t>(d);
            ok = true;
        }
    }
    if (!ok) {
        Warn(document, key, "is not a whole number (" + Shown(*value) + ")", std::to_string(def));
        return def;
    }
    if (result < min || result > max) {
        Warn(document, key,
             "is out of range (" + std::to_string(result) + ", allowed " + std::to_string(min) + " to " +
                 std::to_string(max) + ")",
             std::to_string(def));
        return def;
    }
    return result;
}

double Double(const json& doc, std::string_view document, std::string_view key, double def, double min,
              double max) {
    const json* value = Find(doc, key);
    if (!value) {
        Missing(doc, document, key, std::to_string(def));
        return def;
    }
    if (!value->is_number()) {
        Warn(document, key, "is not a number (" + Shown(*value) + ")", std::to_string(def));
        return def;
    }
    const double result = value->get<double>();
    if (!std::isfinite(result) || result < min || result > max) {
        Warn(document, key, "is out of range (" + Shown(*value) + ")", std::to_string(def));
        return def;
    }
    return result;
}

bool Bool(const json& doc, std::string_view document, std::string_view key, bool def) {
    const json* value = Find(doc, key);
    if (!value) {
        Missing(doc, document, key, def ? "true" : "false");
        return def;
    }
    if (!value->is_boolean()) {
        Warn(document, key, "is not a boolean (" + Shown(*value) + ")", def ? "true" : "false");
        return def;
    }
    return value->get<bool>();
}

std::string String(const json& doc, std::string_view document, std::string_view key, std::string def) {
    const json* value = Find(doc, key);
    if (!value) {
        Missing(doc, document, key, "\"" + def + "\"");
        return def;
    }
    if (!value->is_string()) {
        Warn(document, key, "is not a string (" + Shown(*value) + ")", "\"" + def + "\"");
        return def;
    }
    return value->get<std::string>();
}

json Object(const json& doc, std::string_view document, std::string_view key) {
    const json* value = Find(doc, key);
    if (value && value->is_object()) return *value;
    if (value) {
        Warn(document, key, "is not an object (" + Shown(*value) + ")", "{}");
    } else {
        Missing(doc, document, key, "{}");
    }
    return json::object();
}

json Array(const json& doc, std::string_view document, std::string_view key) {
    const json* value = Find(doc, key);
    if (value && value->is_array()) return *value;
    if (value) {
        Warn(document, key, "is not an array (" + Shown(*value) + ")", "[]");
    } else {
        Missing(doc, document, key, "[]");
    }
    return json::array();
}

int Depth(const json& doc) {
    int deepest = 0;
    std::vector<std::pair<const json*, int>> pending{{&doc, 1}};
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        if (!node->is_structured()) continue;
        if (depth > deepest) deepest = depth;
        for (const auto& child : *node) pending.emplace_back(&child, depth + 1);
    }
    return deepest;
}

json Parse(std::string_view text, std::string_view document) {
    // Measured on the text before parsing, so a deep document never becomes a deep tree.
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDocumentDepth) {
                LOG_WARNING << document << " is nested deeper than " << kMaxDocumentDepth
                            << " levels; treated as damaged";
                return json();
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    json result = json::parse(text.begin(), text.end(), nullptr, false);
    if (result.is_discarded()) {
        LOG_WARNING << document << " is not valid JSON; treated as damaged";
        return json();
    }
    return result;
}

}  // namespace zelko::plenar::agent::Settings
