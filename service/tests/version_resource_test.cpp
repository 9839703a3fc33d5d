#include <gtest/gtest.h>

#include "foundation/utils_system.h"

namespace zelko::plenar::agent {
namespace {

// The built programs carry the project's version where the platform's file-version reader finds it.
TEST(VersionResourceTest, ProgramsCarryTheProjectVersion) {
    for (const char* program : {ZELKO_AGENT_PROGRAM, ZELKO_CONTROL_PROGRAM, ZELKO_EXECUTOR_PROGRAM,
                                ZELKO_SEND_MESSAGE_PLUGIN, ZELKO_FEATURE_SOURCE_PLUGIN}) {
        SCOPED_TRACE(program);
        EXPECT_EQ(Utils::GetFileVersion(program), ZELKO_PROJECT_VERSION);
    }
}

}  // namespace
}  // namespace zelko::plenar::agent
