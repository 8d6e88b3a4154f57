#pragma once

#include "jobs/Platform.h"

namespace morvex {

// The POSIX platform as it runs where the system has no unnamed files: every output has a hidden
// name of its own until it is published. NativePlatform uses unnamed files wherever it can; this
// one lets the other way be tested anywhere.
[[nodiscard]] Platform& HiddenNamePlatform();

}  // namespace morvex
