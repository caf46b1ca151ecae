// Hooks that only tests use, to reach conditions a test machine cannot produce for real.
// The product never calls them.
#pragma once

#include <cstdint>
#include <optional>

namespace platform::testing {

// Makes AvailableDiskSpace answer `bytes` for every directory; nullopt restores the real figure.
void OverrideAvailableDiskSpace(std::optional<uint64_t> bytes);

// Makes every later transfer give up connecting after `connectSeconds` and end a stalled body
// after `lowSpeedSeconds`; RestoreTransferTimeouts returns to the product's limits.
void OverrideTransferTimeouts(long connectSeconds, long lowSpeedSeconds);
void RestoreTransferTimeouts();

}  // namespace platform::testing
