#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "testing/agent_descriptors.h"
#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

// A program started after the agent made a kept HTTPS request and opened its log holds its
// standard input, output and error and nothing else.
TEST(ChildProcessTest, AProgramGetsItsStandardDescriptorsOnly) {
    zelko::testing::TempSystemRoot root;
    zelko::testing::AgentDescriptors agent(root.path() / "agent");
    auto cat = ChildProcess::Start("/bin/cat", {});
    ASSERT_TRUE(cat);
    std::vector<int> numbers;
    for (const auto& [fd, target] : zelko::testing::OpenDescriptors(cat->pid())) numbers.push_back(fd);
    EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(agent.HeldBy(cat->pid()), std::vector<std::string>{});
    std::string out, err;
    EXPECT_TRUE(cat->Communicate("", out, err));
    EXPECT_EQ(cat->Wait(), 0);
}

TEST(ChildProcessTest, PipesExitCodesAndSignals) {
    // A megabyte both ways at once: neither side may block the other.
    const std::string big(1 << 20, 'x');
    auto cat = ChildProcess::Start("/bin/cat", {});
    ASSERT_TRUE(cat);
    std::string out, err;
    EXPECT_TRUE(cat->Communicate(big, out, err));
    EXPECT_EQ(out, big);
    EXPECT_EQ(cat->Wait(), 0);

    auto shell = ChildProcess::Start("/bin/sh", {"-c", "echo oops >&2; exit 3"});
    ASSERT_TRUE(shell);
    out.clear();
    EXPECT_TRUE(shell->Communicate("", out, err));
    EXPECT_EQ(err, "oops\n");
    EXPECT_EQ(shell->Wait(), 3);

    // A child that never reads its input: the write fails instead of ending this process.
    auto deaf = ChildProcess::Start("/bin/true", {});
    ASSERT_TRUE(deaf);
    EXPECT_TRUE(deaf->Communicate(std::string(8 << 20, 'y'), out, err));
    EXPECT_EQ(deaf->Wait(), 0);

    auto sleeper = ChildProcess::Start("/bin/sleep", {"30"});
    ASSERT_TRUE(sleeper);
    std::thread killer([&] { EXPECT_TRUE(sleeper->Kill()); });
    EXPECT_EQ(sleeper->Wait(), -9);
    killer.join();
    EXPECT_FALSE(sleeper->Kill());  // reaped: its id is no longer ours

    // A kept child: each exchange leaves its input open for the next one.
    auto kept = ChildProcess::Start("/bin/cat", {});
    ASSERT_TRUE(kept);
    for (const std::string request : {"first;", "second;"}) {
        out.clear();
        EXPECT_TRUE(kept->Exchange(request, out, err, [&](const std::string& o) { return o.size() >= request.size(); }));
        EXPECT_EQ(out, request);
        EXPECT_FALSE(kept->HasEnded());
    }
    // One that ends before answering: the exchange returns with what came.
    auto quitter = ChildProcess::Start("/bin/sh", {"-c", "printf half; exit 4"});
    ASSERT_TRUE(quitter);
    out.clear();
    EXPECT_TRUE(quitter->Exchange("ignored", out, err, [](const std::string& o) { return o == "whole"; }));
    EXPECT_EQ(out, "half");
    EXPECT_EQ(quitter->Wait(), 4);
    EXPECT_TRUE(quitter->HasEnded());

    int error = 0;
    EXPECT_EQ(ChildProcess::Start("/no/such/program", {}, &error), nullptr);
    EXPECT_EQ(error, ENOENT);
}

}  // namespace
}  // namespace zelko::platform
