#pragma once

// The grants the cloud gives this device, as the grants configuration lists them. One domain for
// all of them, so every comparison (the telemetry grant consent adds, the grant condition, the
// 1E module's defaults) speaks of the same texts.

#define ZELKO_GRANT_DOMAIN "zelko.com"

namespace zelko::plenar::config {

inline constexpr const char* kGrantDomain = ZELKO_GRANT_DOMAIN;
inline constexpr const char* kTelemetryGrant = ZELKO_GRANT_DOMAIN "/telemetry";
inline constexpr const char* kCorvaneGrant = ZELKO_GRANT_DOMAIN "/corvane";
inline constexpr const char* kBkcGrant = ZELKO_GRANT_DOMAIN "/bkc";

}  // namespace zelko::plenar::config
