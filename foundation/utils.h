#pragma once

// Every Utils:: function of the foundation.

#include "foundation/utils_files.h"

#if __has_include("foundation/utils_strings.h")
#include "foundation/utils_strings.h"
#endif
#if __has_include("foundation/utils_time.h")
#include "foundation/utils_time.h"
#endif
#if __has_include("foundation/utils_system.h")
#include "foundation/utils_system.h"
#endif
#if __has_include("foundation/utils_modules.h")
#include "foundation/utils_modules.h"
#endif
