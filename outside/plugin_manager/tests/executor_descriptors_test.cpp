#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outside/plugin_manager/plugin_manager.h"
#include "testing/agent_descriptors.h"
#include "testing/temp_system_root.h"

namespace zelko::shared::plugin {
namespace {

namespace fs = std::filesystem;

class ExecutorDescriptorsTest : public zelko::testing::SystemRootTest {};

// An executor started after the agent made a kept HTTPS request and opened its log, and kept
// between runs, holds nothing of the agent: a plug-in runs with its pipes only.
TEST_F(ExecutorDescriptorsTest, AKeptExecutorHoldsNoneOfTheAgentsDescriptors) {
    zelko::testing::AgentDescriptors agent(scratch() / "agent");
    const auto collectors = scratch() / "collectors";
    fs::create_directories(collectors / "p" / "1.0.0");
    fs::copy_file(ZELKO_TEST_PLUGIN, collectors / "p" / "1.0.0" / "p.so");
    PluginManager manager(collectors.c_str(), "info", ZELKO_PLUGIN_EXECUTOR, ValidatorSettings{{}, true});
    ASSERT_FALSE(manager.GetError());

    std::vector<std::string> pids;
    for (int run = 0; run < 2; ++run) {
        const char* input = R"({"op": "pid"})";
        const auto result =
            manager.ExecutePlugin("p", "1.0.0", input, PluginExecutionPolicy{}, nullptr, nullptr);
        ASSERT_FALSE(result.GetError()) << result.GetError().what();
        pids.push_back(result.GetOutput());
    }
    EXPECT_EQ(pids[0], pids[1]) << "the executor was not kept";
    const int executor = std::stoi(pids[0]);
    std::vector<std::string> not_pipes;
    for (const auto& [fd, target] : zelko::testing::OpenDescriptors(executor)) {
        if (target.rfind("pipe:", 0) != 0) not_pipes.push_back(std::to_string(fd) + " -> " + target);
    }
    EXPECT_EQ(not_pipes, std::vector<std::string>{});
    EXPECT_EQ(agent.HeldBy(executor), std::vector<std::string>{});
}

}  // namespace
}  // namespace zelko::shared::plugin
