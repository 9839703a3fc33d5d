#pragma once

// What the agent reads of the enrollment library's cached discovery answer. The library's
// enrollment object implements IDiscoveryTokenCache; the feature sources and their tests only
// need these two calls.

#include <string>

#include "outside/error/error.h"

namespace zelko::shared::enrollment {

class IDiscoveryToken {
  public:
    virtual ~IDiscoveryToken() = default;
    // True when the token is not valid (expired, unsigned, ...).
    virtual error::Error GetError() const = 0;
    // The token's JSON text.
    virtual std::string GetText() const = 0;
};

class IDiscoveryTokenCache {
  public:
    virtual ~IDiscoveryTokenCache() = default;
    // Loads the cached discovery token; the error is true when none could be loaded.
    virtual error::Error LoadCachedDiscoveryToken() = 0;
    // The token loaded last, owned by this object and valid until the next load; null when none.
    virtual const IDiscoveryToken* GetDiscoveryToken() const = 0;
};

}  // namespace zelko::shared::enrollment
