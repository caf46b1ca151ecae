// Descriptor operations that a signal arriving meanwhile must not break off.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// flock(`fd`, `operation`), tried again when a signal interrupts the wait; true when it succeeded.
bool LockFile(int fd, int operation);

// Writes all `size` bytes of `data` to `fd`, continuing after short writes and interruptions;
// false when a write fails.
bool WriteAll(int fd, const void* data, size_t size);

// Makes the entries of `directory` (a rename into it, say) durable; false when it cannot.
bool SyncDirectory(const std::string& directory);

}  // namespace platform
