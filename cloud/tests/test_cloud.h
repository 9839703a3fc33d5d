#pragma once

// The local cloud's test helpers moved to testing/; this name stays for tests that include it.
#include "testing/local_cloud.h"
