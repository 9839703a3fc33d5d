#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using crypto::Cryptography;
using nlohmann::json;

std::vector<unsigned char> FromHex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<unsigned char> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string ErrorText(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

class EncryptedFilesTest : public zelko::testing::SystemRootTest {
  protected:
    Cryptography crypto_{"device-serial-1234"};
};

TEST_F(EncryptedFilesTest, EmptyObjectGivesA32ByteFileOfIvAndOneBlock) {
    auto path = scratch() / "empty.rsnd";
    Utils::SaveEncryptedJsonFile(path.string(), json::object(), crypto_);
    auto bytes = ReadBytes(path);
    ASSERT_EQ(bytes.size(), 32u);
    // The payload is exactly zlib's default-level stream of the compact text.
    EXPECT_EQ(crypto_.Decrypt(bytes), std::string("\x78\x9c\xab\xae\x05\x00\x01\x75\x00\xf9", 10));
    EXPECT_EQ(Utils::LoadEncryptedJsonFile(path.string(), crypto_), json::object());
}

// Made independently of this code:
//   printf '%s' '{"name":"zelko","values":[1,2,3],"ok":true}' > doc.json
//   python3 -c "import zlib; open('payload','wb').write(zlib.compress(open('doc.json','rb').read()))"
//   KEY=$(printf '%s' 'known-answer-password' | openssl dgst -sha256 -r | cut -d' ' -f1)
//   IV=00112233445566778899aabbccddeeff
//   openssl enc -aes-256-cbc -K $KEY -iv $IV -in payload -out ct
//   (printf '%s' $IV | xxd -r -p; cat ct) | xxd -p
TEST_F(EncryptedFilesTest, ReadsAKnownAnswerVectorMadeWithOpensslAndZlib) {
    const auto bytes = FromHex(
        "00112233445566778899aabbccddeeff394c2c86ec8656c3301f7fc7764013a4979325e92949618ca3ebd1f5"
        "72cf239e640da5be62a2b5ad0841901ce809c3ceb1c97073d4497de51bec2d1b0d45bc3d");
    auto path = scratch() / "known.rsnd";
    WriteBytes(path, bytes);
    json expected = {{"name", "zelko"}, {"values", {1, 2, 3}}, {"ok", true}};
    EXPECT_EQ(Utils::LoadEncryptedJsonFile(path.string(), Cryptography("known-answer-password")), expected);
}

// 10 kB of one character compresses far better than 8:1 and must still come back whole.
TEST_F(EncryptedFilesTest, HighlyCompressibleDocumentRoundTrips) {
    json document = {{"text", std::string(10 * 1024, 'a')}};
    auto path = scratch() / "runs.rsnd";
    Utils::SaveEncryptedJsonFile(path.string(), document, crypto_);
    EXPECT_LT(ReadBytes(path).size(), 200u);
    EXPECT_EQ(Utils::LoadEncryptedJsonFile(path.string(), crypto_), document);
}

TEST_F(EncryptedFilesTest, EachWriteDrawsAFreshIv) {
    auto first = crypto_.Encrypt("same text");
    auto second = crypto_.Encrypt("same text");
    EXPECT_NE(first, second);
    EXPECT_EQ(crypto_.Decrypt(first), "same text");
    EXPECT_EQ(crypto_.Decrypt(second), "same text");
}

TEST_F(EncryptedFilesTest, ReadFailuresCarryTheirTexts) {
    auto good = scratch() / "good.rsnd";
    Utils::SaveEncryptedJsonFile(good.string(), json{{"k", "v"}}, crypto_);
    auto good_bytes = ReadBytes(good);

    auto iv_only = scratch() / "iv_only.rsnd";
    WriteBytes(iv_only, std::vector<unsigned char>(good_bytes.begin(), good_bytes.begin() + 16));
    auto short_file = scratch() / "short.rsnd";
    WriteBytes(short_file, std::vector<unsigned char>(good_bytes.begin(), good_bytes.begin() + 15));
    auto missing = scratch() / "missing.rsnd";

    struct Case {
        std::filesystem::path path;
        std::string password;
        std::string text;
    } cases[] = {
        {good, "another password", "Failed to finalize decryption"},
        {iv_only, "device-serial-1234", "Failed to finalize decryption"},
        {short_file, "device-serial-1234", "Buffer is too small"},
        {missing, "device-serial-1234", "file doesn't not exist " + missing.string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.filename().string());
        const std::string text =
            ErrorText([&] { Utils::LoadEncryptedJsonFile(c.path.string(), Cryptography(c.password)); });
        // A wrong key still ends in valid padding about once in 256 files (the IV is random); the
        // text of that file is then the decompression's.
        if (c.password == "another password" && text == "Failed to decompress data") continue;
        EXPECT_EQ(text, c.text);
    }
    EXPECT_THROW(Utils::LoadEncryptedJsonFile(short_file.string(), crypto_), std::invalid_argument);
}

// A payload that decrypts but is not a whole zlib stream is refused rather than parsed from a
// partial text.
TEST_F(EncryptedFilesTest, DamagedOrCutCompressedDataRaises) {
    std::string text = json{{"list", std::vector<int>(200, 7)}}.dump();
    uLongf size = compressBound(text.size());
    std::string payload(size, '\0');
    ASSERT_EQ(compress(reinterpret_cast<Bytef*>(payload.data()), &size,
                       reinterpret_cast<const Bytef*>(text.data()), text.size()),
              Z_OK);
    payload.resize(size);

    std::string cut = payload.substr(0, payload.size() - 6);
    std::string damaged = payload;
    damaged[4] = static_cast<char>(damaged[4] ^ 0x55);
    for (const auto& bad : {cut, damaged}) {
        auto path = scratch() / "bad.rsnd";
        WriteBytes(path, crypto_.Encrypt(bad));
        EXPECT_ANY_THROW(Utils::LoadEncryptedJsonFile(path.string(), crypto_));
    }
}

// A few kilobytes that inflate beyond the cap (64 MiB) are refused, naming the file, however valid
// the JSON inside.
TEST_F(EncryptedFilesTest, ContentInflatingBeyondTheCapIsRefusedNamingTheFile) {
    constexpr size_t kCap = size_t{64} * 1024 * 1024;
    // Spaces, then "{}": a document of kCap + 1 bytes, deflated piece by piece.
    z_stream stream{};
    ASSERT_EQ(deflateInit(&stream, Z_BEST_SPEED), Z_OK);
    std::string packed;
    const std::string spaces(1024 * 1024, ' ');
    std::vector<char> out(256 * 1024);
    for (size_t left = kCap - 1; left > 0;) {
        std::string piece = spaces.substr(0, std::min(left, spaces.size()));
        left -= piece.size();
        if (left == 0) piece += "{}";
        stream.next_in = reinterpret_cast<Bytef*>(piece.data());
        stream.avail_in = static_cast<uInt>(piece.size());
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = static_cast<uInt>(out.size());
            ASSERT_NE(deflate(&stream, flush), Z_STREAM_ERROR);
            packed.append(out.data(), out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    ASSERT_LT(packed.size(), 1024u * 1024u);

    const auto path = scratch() / "bomb.rsnd";
    WriteBytes(path, crypto_.Encrypt(packed));
    zelko::testing::LogCapture log;
    const std::string error = ErrorText([&] { Utils::LoadEncryptedJsonFile(path, crypto_); });
    EXPECT_NE(error.find(path.string()), std::string::npos) << error;
    EXPECT_TRUE(log.Contains(logging::warning, "Encrypted file " + path.string() + " refused"));
}

TEST_F(EncryptedFilesTest, SaveRaisesWhenTheFileCannotBeWrittenAndKeepsTheOldFile) {
    auto missing_folder = scratch() / "no-such-folder" / "file.rsnd";
    EXPECT_THROW(Utils::SaveEncryptedJsonFile(missing_folder.string(), json::object(), crypto_),
                 std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(missing_folder));

    auto path = scratch() / "kept.rsnd";
    Utils::SaveEncryptedJsonFile(path.string(), json{{"v", 1}}, crypto_);
    EXPECT_THROW(Utils::SaveEncryptedJsonFile(path.string(), json{{"bad", std::string("\xff\xfe")}}, crypto_),
                 json::type_error);
    EXPECT_EQ(Utils::LoadEncryptedJsonFile(path.string(), crypto_), (json{{"v", 1}}));
    // No temporary files are left beside it.
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(scratch()), std::filesystem::directory_iterator()),
        1);
}

// The file opens and takes the bytes, but cannot replace what is at the path: still a failure.
TEST_F(EncryptedFilesTest, SaveRaisesWhenTheWrittenFileCannotTakeItsPlace) {
    auto occupied = scratch() / "occupied.rsnd";
    std::filesystem::create_directories(occupied / "inside");
    EXPECT_THROW(Utils::SaveEncryptedJsonFile(occupied.string(), json{{"v", 1}}, crypto_),
                 std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_directory(occupied / "inside"));
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(scratch()), std::filesystem::directory_iterator()),
        1);
}

TEST_F(EncryptedFilesTest, WinEventsConfigNeedsAQueryArray) {
    auto folder = scratch() / "exe";
    std::filesystem::create_directories(folder / "Configuration Files");
    auto file = folder / "Configuration Files" / "win-events-config.ejson";
    Cryptography builtin("Tq7vR2mXc9LpW4sJd0HbN6yKf3GzA8eUo1iVw5QnZtE=");

    EXPECT_EQ(ErrorText([&] { Utils::LoadWinEventsConfig(folder, "Configuration Files"); }),
              "no configuration file found");

    for (const json& bad :
         {json{{"queries", json::array()}}, json{{"queries_by_evnet_id", json::object()}}, json::array()}) {
        Utils::SaveEncryptedJsonFile(file, bad, builtin);
        EXPECT_EQ(ErrorText([&] { Utils::LoadWinEventsConfig(folder, "Configuration Files"); }),
                  "no queries found in the configuration file");
    }
    json good = {{"queries_by_evnet_id", {{{"id", 41}}}}};
    Utils::SaveEncryptedJsonFile(file, good, builtin);
    EXPECT_EQ(Utils::LoadWinEventsConfig(folder, "Configuration Files"), good);
}

}  // namespace
}  // namespace zelko::plenar::agent
