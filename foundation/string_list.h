#pragma once

#include <string>
#include <vector>

namespace zelko::plenar::agent {

// A list of texts as one log text: "[a, b, c]", "[]" when empty.
inline std::string WriteStringList(const std::vector<std::string>& texts) {
    std::string out = "[";
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) out += ", ";
        out += texts[i];
    }
    out += "]";
    return out;
}

}  // namespace zelko::plenar::agent
