#include "telemetry/stored_bytes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

namespace fs = std::filesystem;

class StoredBytesTest : public zelko::testing::SystemRootTest {
  protected:
    void Write(const fs::path& path, size_t bytes) { std::ofstream(path) << std::string(bytes, 'x'); }
};

TEST_F(StoredBytesTest, CountedOnceThenARunningTotalCountedAgainBeforeARefusal) {
    const fs::path folder = scratch() / "store";
    fs::create_directories(folder / "nested");
    Write(folder / "a", 100);
    Write(folder / "nested" / "ignored", 5000);
    StoredBytes bytes;
    EXPECT_FALSE(bytes.Above(folder, 100));
    EXPECT_TRUE(bytes.Above(folder, 99));

    // Saves add to the total; the folder is not listed again while the total stays under the cap,
    // so a file written by someone else is not seen...
    Write(folder / "other", 1000);
    bytes.Add(folder, 300);
    EXPECT_FALSE(bytes.Above(folder, 500));
    // ...until the total passes the cap: then a fresh count decides.
    bytes.Add(folder, 200);
    EXPECT_TRUE(bytes.Above(folder, 550));
    // Files removed since leave an overestimate that a fresh count corrects.
    fs::remove(folder / "other");
    EXPECT_FALSE(bytes.Above(folder, 500));

    // Another folder is counted for itself; a total for a folder not counted is not kept.
    const fs::path second = scratch() / "second";
    fs::create_directories(second);
    bytes.Add(second, 10'000);
    Write(second / "b", 10);
    EXPECT_FALSE(bytes.Above(second, 10));
    EXPECT_THROW(bytes.Above(scratch() / "missing", 10), fs::filesystem_error);
}

}  // namespace
}  // namespace zelko::plenar::agent
