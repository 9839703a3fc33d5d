#include "platform/processes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/paths.h"

namespace zelko::platform {
namespace {

int FunctionOfThisProgram() { return 42; }

const LoadedModule* FindModule(const std::vector<LoadedModule>& modules, const std::string& needle) {
    auto it = std::find_if(modules.begin(), modules.end(), [&](const LoadedModule& m) {
        return m.path.filename().string().find(needle) != std::string::npos;
    });
    return it == modules.end() ? nullptr : &*it;
}

TEST(ProcessesTest, ModuleWalkStartsWithTheProgramAndListsOnlyFiles) {
    auto modules = LoadedModules();
    ASSERT_GE(modules.size(), 2u);
    EXPECT_TRUE(modules.front().main_program);
    EXPECT_EQ(modules.front().path, ExecutablePath());
    for (size_t i = 1; i < modules.size(); ++i) {
        EXPECT_FALSE(modules[i].main_program);
        EXPECT_TRUE(modules[i].path.is_absolute()) << modules[i].path;
    }
    EXPECT_NE(FindModule(modules, "libc.so"), nullptr);
}

TEST(ProcessesTest, SymbolLookupCountsOnlyTheModulesOwnDefinitions) {
    auto modules = LoadedModules();
    const LoadedModule* libc = FindModule(modules, "libc.so");
    ASSERT_NE(libc, nullptr);
    EXPECT_EQ(FindModuleSymbol(*libc, "getenv"), reinterpret_cast<void*>(&::getenv));
    // The program's lookup scope reaches libc, but the definition is not the program's.
    EXPECT_EQ(FindModuleSymbol(modules.front(), "getenv"), nullptr);
    EXPECT_EQ(FindModuleSymbol(*libc, "no_such_symbol_anywhere"), nullptr);
}

TEST(ProcessesTest, ModuleFileOfAddressGivesTheRealProgramPath) {
    EXPECT_EQ(ModuleFileOfAddress(reinterpret_cast<const void*>(&FunctionOfThisProgram)), ExecutablePath());
    auto libc = ModuleFileOfAddress(reinterpret_cast<const void*>(&::getenv));
    EXPECT_NE(libc.filename().string().find("libc.so"), std::string::npos) << libc;
    int on_stack = 0;
    EXPECT_TRUE(ModuleFileOfAddress(&on_stack).empty());
}

TEST(ProcessesTest, LibraryHandleReportsLoaderErrors) {
    LibraryHandle missing("/nonexistent/libnothing.so");
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_FALSE(missing.Error().empty());
    EXPECT_EQ(missing.Symbol("x"), nullptr);

    auto libc_path = ModuleFileOfAddress(reinterpret_cast<const void*>(&::getenv));
    LibraryHandle libc(libc_path);
    ASSERT_TRUE(libc.IsOpen()) << libc.Error();
    EXPECT_EQ(libc.Symbol("getenv"), reinterpret_cast<void*>(&::getenv));
    LibraryHandle moved = std::move(libc);
    EXPECT_FALSE(libc.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
}

}  // namespace
}  // namespace zelko::platform
