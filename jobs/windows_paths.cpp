#include "jobs/windows_paths.h"

#include <algorithm>
#include <cctype>

#include "platform/paths.h"

namespace zelko::plenar::agent::winpath {

namespace {

bool HasDrive(const std::string& path) {
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

bool HasServerPrefix(const std::string& path) {
    return path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2]);
}

// UTF-8 to UTF-16 code units; a broken sequence counts as its bytes taken one by one.
std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        uint32_t cp = c;
        size_t len = 1;
        if (c >= 0xF0 && c < 0xF8) {
            len = 4;
            cp = c & 0x07;
        } else if (c >= 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xC0) {
            len = 2;
            cp = c & 0x1F;
        }
        bool ok = len > 1 && i + len <= text.size();
        for (size_t k = 1; ok && k < len; ++k) {
            auto n = static_cast<unsigned char>(text[i + k]);
            if ((n & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (n & 0x3F);
        }
        if (!ok) {
            out.push_back(c);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

}  // namespace

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string RootName(const std::string& path) {
    if (HasDrive(path)) return path.substr(0, 2);
    if (HasServerPrefix(path)) {
        auto end = std::find_if(path.begin() + 2, path.end(), IsSeparator);
        return std::string(path.begin(), end);
    }
    return "";
}

bool IsAbsolute(const std::string& path) {
    if (HasDrive(path)) return path.size() > 2 && IsSeparator(path[2]);
    if (HasServerPrefix(path)) return true;
    return !path.empty() && path[0] == '/' && (path.size() == 1 || !IsSeparator(path[1]));
}

std::string ParentFolder(const std::string& path) {
    auto pos = path.find_last_of("\\/");
    return pos == std::string::npos ? "" : path.substr(0, pos);
}

std::string Extension(const std::string& path) {
    auto pos = path.find_last_of("\\/");
    std::string name = pos == std::string::npos ? path : path.substr(pos + 1);
    if (pos == std::string::npos && HasDrive(name)) name = name.substr(2);
    name = name.substr(0, name.find(':'));
    if (name == "." || name == "..") return "";
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    return name.substr(dot);
}

std::string ToBackslashes(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

uint64_t PathHash(const std::string& path) {
    uint64_t hash = 14695981039346656037ULL;
    auto feed = [&hash](char16_t unit) {
        for (unsigned byte : {unsigned(unit & 0xFF), unsigned(unit >> 8)}) {
            hash ^= byte;
            hash *= 1099511628211ULL;
        }
    };
    std::string root = RootName(path);
    for (char16_t unit : ToUtf16(root)) feed(unit);
    bool after_separator = false;
    for (char16_t unit : ToUtf16(path.substr(root.size()))) {
        bool separator = unit == u'\\' || unit == u'/';
        if (separator && after_separator) continue;
        feed(separator ? u'\\' : unit);
        after_separator = separator;
    }
    return hash;
}

std::filesystem::path ToNative(const std::string& path) {
    std::string rest = path;
    std::filesystem::path base;
    if (HasDrive(path)) {
        char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        base = drive == 'C' ? platform::SystemRoot() : platform::SystemRoot() / std::string(1, drive);
        rest = path.substr(2);
    } else if (!path.empty() && IsSeparator(path[0])) {
        base = "/";
    }
    std::replace(rest.begin(), rest.end(), '\\', '/');
    auto first = rest.find_first_not_of('/');
    rest = first == std::string::npos ? "" : rest.substr(first);
    return rest.empty() ? base : (base.empty() ? std::filesystem::path(rest) : base / rest);
}

bool IsPlainName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name == "." || name.find("..") != std::string::npos)
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == ':') return false;
    }
    return true;
}

}  // namespace zelko::plenar::agent::winpath
