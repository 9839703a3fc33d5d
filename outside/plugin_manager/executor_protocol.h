#pragma once

// The pipes between the plug-in manager and a kept zelko-plugin-executor ("--serve"). Each run is
// one request on the executor's standard input and one reply on its standard output:
//   request: <u64 length><library path><u64 length><JSON input>
//   reply:   <u8 status><u64 length><answer when the status is 0, else the failure's text>
// Lengths are little-endian. The status is the exit code a one-run executor would give, or
// kFileChangedStatus.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelko::shared::plugin::executor_protocol {

inline constexpr const char* kServeOption = "--serve";
inline constexpr size_t kLengthSize = 8;
inline constexpr size_t kReplyHeaderSize = 1 + kLengthSize;
// The executor runs one library only, as its file was when loaded; asked for another file, or for
// its own after a change, it answers this status and nothing runs: a fresh executor has to.
inline constexpr uint8_t kFileChangedStatus = 8;

inline void AppendLength(std::string& out, uint64_t length) {
    for (size_t i = 0; i < kLengthSize; ++i) out.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
}

inline uint64_t ReadLength(const char* bytes) {
    uint64_t length = 0;
    for (size_t i = 0; i < kLengthSize; ++i) length |= uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    return length;
}

inline std::string Request(std::string_view library, std::string_view input) {
    std::string out;
    out.reserve(2 * kLengthSize + library.size() + input.size());
    AppendLength(out, library.size());
    out.append(library);
    AppendLength(out, input.size());
    out.append(input);
    return out;
}

inline std::string Reply(uint8_t status, std::string_view payload) {
    std::string out;
    out.reserve(kReplyHeaderSize + payload.size());
    out.push_back(static_cast<char>(status));
    AppendLength(out, payload.size());
    out.append(payload);
    return out;
}

struct ParsedReply {
    uint8_t status = 0;
    std::string_view payload;
};

// The reply once `buffer` holds it whole; nothing while more is to come.
inline std::optional<ParsedReply> ParseReply(const std::string& buffer) {
    if (buffer.size() < kReplyHeaderSize) return std::nullopt;
    const uint64_t length = ReadLength(buffer.data() + 1);
    if (buffer.size() - kReplyHeaderSize < length) return std::nullopt;
    return ParsedReply{static_cast<uint8_t>(buffer[0]),
                       std::string_view(buffer).substr(kReplyHeaderSize, static_cast<size_t>(length))};
}

}  // namespace zelko::shared::plugin::executor_protocol
