#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zelko::platform {

// One module (the program or a shared library) loaded in this process.
struct LoadedModule {
    std::filesystem::path path;  // full path of the module file
    bool main_program = false;
};

// The modules loaded in this process now, the main program first. Pseudo-modules without a
// file (the vDSO) are left out.
std::vector<LoadedModule> LoadedModules();

// Address of the symbol `name` defined by the module itself, or null. A symbol that the lookup
// would find in one of the module's dependencies does not count, so a walk over all modules
// meets each definition once. The module must stay loaded while the address is used.
void* FindModuleSymbol(const LoadedModule& module, const char* name);

// Full path of the module file that holds the address; empty when none does.
std::filesystem::path ModuleFileOfAddress(const void* address);

// A shared library opened by this process (dlopen), closed when the handle is destroyed.
class LibraryHandle {
  public:
    LibraryHandle() = default;
    // Opens the library with all its symbols bound now; check IsOpen() / Error().
    explicit LibraryHandle(const std::filesystem::path& path);
    ~LibraryHandle();
    LibraryHandle(LibraryHandle&& other) noexcept;
    LibraryHandle& operator=(LibraryHandle&& other) noexcept;
    LibraryHandle(const LibraryHandle&) = delete;
    LibraryHandle& operator=(const LibraryHandle&) = delete;

    bool IsOpen() const { return handle_ != nullptr; }
    // The loader's message when opening failed.
    const std::string& Error() const { return error_; }
    // Address of an exported symbol of the library (or of what it loaded), null when missing.
    void* Symbol(const char* name) const;
    void Close();

  private:
    void* handle_ = nullptr;
    std::string error_;
};

}  // namespace zelko::platform
