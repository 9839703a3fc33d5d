#include "platform/processes.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <system_error>
#include <utility>

#include "platform/paths.h"

namespace zelko::platform {

namespace {

int CollectModule(dl_phdr_info* info, size_t, void* data) {
    auto& modules = *static_cast<std::vector<LoadedModule>*>(data);
    const char* name = info->dlpi_name;
    if (modules.empty() && (name == nullptr || *name == '\0')) {
        modules.push_back({ExecutablePath(), true});
    } else if (name != nullptr && std::strchr(name, '/') != nullptr) {
        // Names without a slash (linux-vdso.so.1) have no file behind them.
        std::error_code ec;
        auto path = std::filesystem::absolute(name, ec);
        modules.push_back({ec ? std::filesystem::path(name) : path, false});
    }
    return 0;
}

// The loader's record of the module that defines the address, or null.
const link_map* LinkMapOfAddress(const void* address) {
    Dl_info info{};
    void* extra = nullptr;
    if (::dladdr1(address, &info, &extra, RTLD_DL_LINKMAP) == 0) return nullptr;
    return static_cast<const link_map*>(extra);
}

}  // namespace

std::vector<LoadedModule> LoadedModules() {
    std::vector<LoadedModule> modules;
    ::dl_iterate_phdr(&CollectModule, &modules);
    return modules;
}

void* FindModuleSymbol(const LoadedModule& module, const char* name) {
    // RTLD_NOLOAD only takes a reference on a module that is already there.
    void* handle = module.main_program ? ::dlopen(nullptr, RTLD_LAZY)
                                       : ::dlopen(module.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return nullptr;
    void* symbol = ::dlsym(handle, name);
    link_map* own = nullptr;
    if (symbol != nullptr &&
        (::dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 || LinkMapOfAddress(symbol) != own)) {
        symbol = nullptr;
    }
    ::dlclose(handle);
    return symbol;
}

std::filesystem::path ModuleFileOfAddress(const void* address) {
    const link_map* map = LinkMapOfAddress(address);
    if (map == nullptr) return {};
    // The loader names the main program by its argv[0]; the kernel knows its real path.
    if (map->l_name == nullptr || map->l_name[0] == '\0') return ExecutablePath();
    return map->l_name;
}

LibraryHandle::LibraryHandle(const std::filesystem::path& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* message = ::dlerror();
        error_ = message != nullptr ? message : "dlopen failed";
    }
}

LibraryHandle::~LibraryHandle() { Close(); }

LibraryHandle::LibraryHandle(LibraryHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}

LibraryHandle& LibraryHandle::operator=(LibraryHandle&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, nullptr);
        error_ = std::move(other.error_);
    }
    return *this;
}

void* LibraryHandle::Symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

void LibraryHandle::Close() {
    if (handle_ != nullptr) ::dlclose(std::exchange(handle_, nullptr));
}

}  // namespace zelko::platform
