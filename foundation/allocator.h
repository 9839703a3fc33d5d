#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>

namespace zelko::shared::http {

// Memory functions handed to the outside HTTP client, which allocates and frees through them.
class Allocator {
  public:
    Allocator()
        : allocate([](uint64_t size) { return std::malloc(size); }), free([](void* p) { std::free(p); }) {}

    std::function<void*(uint64_t)> allocate;
    std::function<void(void*)> free;
};

}  // namespace zelko::shared::http
