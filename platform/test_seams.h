// Hooks that only tests use, to reach conditions a test machine cannot produce for real.
// The product never calls them.
#pragma once

#include <cstdint>
#include <optional>

namespace platform::testing {

// Makes AvailableDiskSpace answer `bytes` for every directory; nullopt restores the real figure.
void OverrideAvailableDiskSpace(std::optional<uint64_t> bytes);

}  // namespace platform::testing
