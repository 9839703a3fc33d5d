#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "foundation/logging.h"
#include "testing/agent_descriptors.h"
#include "testing/temp_system_root.h"

namespace zelko::logging {
namespace {

struct LineFormatter {
    static std::string header() { return {}; }
    static std::string format(const Record& record) { return record.getMessage() + "\n"; }
};

class LogFileDescriptorTest : public zelko::testing::SystemRootTest {};

// A program started by any means (a library's own) never gets the log to write into, before and
// after the log rolls over.
TEST_F(LogFileDescriptorTest, TheLogIsOpenCloseOnExec) {
    const auto log = std::filesystem::canonical(scratch()) / "agent.log";
    RollingFileAppender<LineFormatter> appender(log, 16, 2);
    for (int write = 0; write < 2; ++write) {
        Record record(info, "test", __LINE__, nullptr);
        record << "a line longer than the file may grow";
        appender.write(record);
        int found = 0;
        for (const auto& [fd, target] : zelko::testing::OpenDescriptors(::getpid())) {
            if (target != log.string()) continue;
            ++found;
            EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "write " << write;
        }
        EXPECT_EQ(found, 1) << "write " << write;
    }
}

}  // namespace
}  // namespace zelko::logging
