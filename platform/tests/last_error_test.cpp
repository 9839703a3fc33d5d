#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace zelko::platform {
namespace {

// A full disk or quota is said as such, not as a device failure, in every "GetLastError" line.
TEST(LastErrorTest, DiskFullHasItsOwnCodeAndMessage) {
    const struct {
        int errno_value;
        uint32_t code;
    } cases[] = {{ENOSPC, kErrorDiskFull},
                 {EDQUOT, kErrorDiskFull},
                 {EIO, kErrorGenFailure},
                 {ENOENT, kErrorFileNotFound}};
    for (const auto& c : cases) EXPECT_EQ(ErrorFromErrno(c.errno_value), c.code) << c.errno_value;
    EXPECT_EQ(kErrorDiskFull, 112u);
    EXPECT_EQ(FormatSystemMessage(kErrorDiskFull), "There is not enough space on the disk.\r\n");
}

}  // namespace
}  // namespace zelko::platform
