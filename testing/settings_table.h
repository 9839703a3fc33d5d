#pragma once

// Helpers for tables that damage every numeric and boolean setting of a document: the five values
// each one is given, the keys to walk, and a count of the process's threads to show none is left.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/thread_count.h"

namespace zelko::testing {

// A text, null, zero, minus one and the largest 64-bit number.
inline const std::vector<nlohmann::json>& DamagedSettingValues() {
    static const std::vector<nlohmann::json> values = {"text", nullptr, 0, -1,
                                                       std::numeric_limits<int64_t>::max()};
    return values;
}

namespace detail {
inline void NumericLeaves(const nlohmann::json& node, const nlohmann::json::json_pointer& at, const std::string& shape,
                          std::vector<std::string>& shapes, std::vector<nlohmann::json::json_pointer>& leaves) {
    if (node.is_number() || node.is_boolean()) {
        if (std::find(shapes.begin(), shapes.end(), shape) == shapes.end()) {
            shapes.push_back(shape);
            leaves.push_back(at);
        }
    } else if (node.is_object()) {
        for (const auto& [key, value] : node.items()) NumericLeaves(value, at / key, shape + "/" + key, shapes, leaves);
    } else if (node.is_array()) {
        for (size_t i = 0; i < node.size(); ++i) NumericLeaves(node[i], at / i, shape + "/*", shapes, leaves);
    }
}
}  // namespace detail

// The first leaf of each key path that holds a number or a boolean; array positions count as one,
// so keys of like entries are walked once per key name rather than once per entry.
inline std::vector<nlohmann::json::json_pointer> NumericLeaves(const nlohmann::json& document) {
    std::vector<std::string> shapes;
    std::vector<nlohmann::json::json_pointer> leaves;
    detail::NumericLeaves(document, nlohmann::json::json_pointer(), "", shapes, leaves);
    return leaves;
}

// The last token of a pointer: the key a reader names in its warning.
inline std::string LeafKey(const nlohmann::json::json_pointer& leaf) {
    const std::string text = leaf.to_string();
    return text.substr(text.rfind('/') + 1);
}

// A pointer as a test name ("/a/b_c" gives "a_b_c").
inline std::string TestNameOf(const std::string& pointer) {
    std::string name;
    for (char c : pointer) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name.empty() ? name : name.substr(1);
}

}  // namespace zelko::testing
