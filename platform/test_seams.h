// Hooks that only tests use, to reach conditions a test machine cannot produce for real.
// The product never calls them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::testing {

// Makes AvailableDiskSpace answer `bytes` for every directory; nullopt restores the real figure.
void OverrideAvailableDiskSpace(std::optional<uint64_t> bytes);

// Makes AllowsExecution answer false for every path that starts with `directory`, as if a noexec
// file system were mounted there; an empty `directory` restores the real answers.
void ForbidExecutionBelow(const std::string& directory);

// Makes RPC servers close a connection that sends nothing for `idleMilliseconds`, or that leaves
// a PDU or call unfinished for `pduMilliseconds`; serve `connections` at once, and let the calls
// being assembled hold `heldBytes` of stub together. RestoreRpcLimits returns to the product's.
void OverrideRpcTimeouts(long idleMilliseconds, long pduMilliseconds);
void OverrideRpcCapacity(size_t connections, size_t heldBytes);
void RestoreRpcLimits();

#ifdef _WIN32
// Moves both registry hives below HKEY_CURRENT_USER\`userKeyPath` (into its LocalMachine and
// CurrentUser sub-keys), so that a test writes nothing an installation reads and needs no
// administrator rights; an empty path restores the real hives.
void PlaceRegistryBelow(const std::string& userKeyPath);
// Makes DeleteSubKey use RegDeleteKeyA even where RegDeleteKeyExA exists.
void AvoidRegDeleteKeyEx(bool avoid);
#endif

}  // namespace platform::testing
