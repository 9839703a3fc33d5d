#include "platform/named_objects.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

class NamedObjectsTest : public testing::SystemRootTest {};

TEST_F(NamedObjectsTest, NamesMapUnderTheSystemRoot) {
    EXPECT_EQ(NamedObjectPath("Global\\SystemSleepEvent"),
              root() / "Objects" / "Global" / "SystemSleepEvent");
    EXPECT_EQ(NamedObjectPath("a/b\\..\\c"), root() / "Objects" / "a_b" / "_" / "c");
}

TEST_F(NamedObjectsTest, ManualResetEventIsSharedByNameAndKeepsItsState) {
    auto first = NamedEvent::Create("Global\\SystemSleepEvent", false);
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->IsSet());
    EXPECT_TRUE(first->Set());
    EXPECT_TRUE(first->IsSet());
    EXPECT_TRUE(first->IsSet());  // manual reset: reading does not clear it

    // Opening an existing event keeps its state, whatever the initial state asked for.
    auto second = NamedEvent::Create("Global\\SystemSleepEvent", false);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->IsSet());
    EXPECT_TRUE(second->Reset());
    EXPECT_FALSE(first->IsSet());
    EXPECT_FALSE(first->Wait(std::chrono::milliseconds(20)));

    std::thread setter([&] { second->Set(); });
    EXPECT_TRUE(first->Wait(std::chrono::seconds(5)));
    setter.join();
}

TEST_F(NamedObjectsTest, CreationFailureReportsTheSystemError) {
    std::filesystem::create_directories(root() / "Objects");
    {
        std::ofstream blocker(root() / "Objects" / "Global");  // a file where the folder should be
    }
    int error = 0;
    EXPECT_FALSE(NamedEvent::Create("Global\\X", false, &error));
    EXPECT_NE(error, 0);
}

}  // namespace
}  // namespace zelko::platform
