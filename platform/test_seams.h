// Hooks that only tests use, to reach conditions a test machine cannot produce for real.
// The product never calls them.
#pragma once

#include <cstdint>
#include <optional>

namespace platform::testing {

// Makes AvailableDiskSpace answer `bytes` for every directory; nullopt restores the real figure.
void OverrideAvailableDiskSpace(std::optional<uint64_t> bytes);

// Makes RPC servers close a connection that sends nothing for `idleMilliseconds`, or that leaves
// a PDU unfinished for `pduMilliseconds`; RestoreRpcTimeouts returns to the product's limits.
void OverrideRpcTimeouts(long idleMilliseconds, long pduMilliseconds);
void RestoreRpcTimeouts();

}  // namespace platform::testing
