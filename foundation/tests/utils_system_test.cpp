#include "foundation/utils_system.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

// A version resource as the resource compiler lays it out: header, UTF-16 key, padding and the
// fixed file information.
std::string VersionResource(uint32_t ms, uint32_t ls) {
    std::string out;
    auto put16 = [&](uint16_t v) {
        out.push_back(static_cast<char>(v & 0xFF));
        out.push_back(static_cast<char>(v >> 8));
    };
    auto put32 = [&](uint32_t v) {
        put16(static_cast<uint16_t>(v & 0xFFFF));
        put16(static_cast<uint16_t>(v >> 16));
    };
    put16(92);  // wLength
    put16(52);  // wValueLength
    put16(0);   // wType
    for (char c : std::string("VS_VERSION_INFO")) put16(static_cast<uint16_t>(c));
    put16(0);
    put16(0);  // padding to 32 bits
    put32(0xFEEF04BD);
    put32(0x00010000);
    put32(ms);
    put32(ls);
    for (int i = 0; i < 9; ++i) put32(0);
    return out;
}

class FileVersionTest : public testing::SystemRootTest {
  protected:
    std::string Write(const std::string& name, const std::string& content) {
        const auto path = scratch() / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
};

TEST_F(FileVersionTest, ReadsTheFixedFileVersion) {
    const std::string image =
        std::string("MZ\x90\0", 4) + std::string(1021, 'x') + VersionResource(0x000A0002, 0x4E200007);
    EXPECT_EQ(Utils::GetFileVersion(Write("setup.exe", image)), "10.2.20000.7");
}

TEST_F(FileVersionTest, FindsAResourceAcrossTheReadersChunkBorder) {
    // Large files are read in pieces of 1 MiB; put the resource across that border.
    for (size_t before : {(size_t{1} << 20) - 30, (size_t{1} << 20) - 3, (size_t{1} << 20) + 1}) {
        const std::string image = std::string(before, '\0') + VersionResource(0x00050006, 0x00070008);
        EXPECT_EQ(Utils::GetFileVersion(Write("big.exe", image)), "5.6.7.8") << before;
    }
}

TEST_F(FileVersionTest, EmptyWithoutAVersionResource) {
    EXPECT_EQ(Utils::GetFileVersion(Write("tool.exe", "#!/bin/sh\necho hi\n")), "");
    EXPECT_EQ(Utils::GetFileVersion((scratch() / "missing.exe").string()), "");
    // The key alone, without the fixed information's signature, is no version.
    std::string broken = VersionResource(1, 1);
    broken[40] = 0;
    EXPECT_EQ(Utils::GetFileVersion(Write("broken.dll", broken)), "");
}

TEST_F(FileVersionTest, InstallerPackagesAskTheInstallerNotTheResource) {
    // Linux has no Windows Installer, so a package has no version even with a resource inside.
    const std::string content = VersionResource(0x00010002, 0x00030004);
    EXPECT_EQ(Utils::GetFileVersion(Write("package.exe", content)), "1.2.3.4");
    for (const char* name : {"package.msi", "package.MSI", "Package.Msi"}) {
        EXPECT_EQ(Utils::GetFileVersion(Write(name, content)), "") << name;
    }
    // Only the extension of the file name counts, whichever separator the folder uses.
    std::filesystem::create_directories(scratch() / "x.msi");
    std::ofstream(scratch() / "x.msi" / "tool", std::ios::binary) << content;
    EXPECT_EQ(Utils::GetFileVersion((scratch() / "x.msi" / "tool").string()), "1.2.3.4");
    EXPECT_EQ(Utils::GetFileVersion(Write("dir.msi\\tool", content)), "1.2.3.4");
}

TEST_F(FileVersionTest, OurBinariesAreReadOnceAndKept) {
    const std::string path = Write("agent.exe", VersionResource(0x00020003, 0x00040005));
    EXPECT_EQ(Utils::GetBinaryFileVersion(path), "2.3.4.5");
    // The file is not read again: a changed or vanished file keeps the version first read.
    Write("agent.exe", VersionResource(0x00090009, 0x00090009));
    EXPECT_EQ(Utils::GetBinaryFileVersion(path), "2.3.4.5");
    std::filesystem::remove(path);
    EXPECT_EQ(Utils::GetBinaryFileVersion(path), "2.3.4.5");
    EXPECT_EQ(Utils::GetFileVersion(path), "");  // other files are always read as they are now
}

class WindowsUpdatesTest : public testing::SystemRootTest {
  protected:
    void Simulate(const std::string& line) {
        std::filesystem::create_directories(root() / "WindowsUpdate");
        std::ofstream(root() / "WindowsUpdate" / "pending") << line << "\n";
    }
};

TEST_F(WindowsUpdatesTest, CountsPendingUpdatesAndFailsWithMinusOne) {
    EXPECT_EQ(Utils::GetWindowsUpdates(), 0);
    Simulate("3");
    EXPECT_EQ(Utils::GetWindowsUpdates(), 3);
    Simulate("fail 4 -2145124318");
    EXPECT_EQ(Utils::GetWindowsUpdates(), -1);
    Simulate("garbage");
    EXPECT_EQ(Utils::GetWindowsUpdates(), -1);
}

}  // namespace
}  // namespace zelko::plenar::agent
