// Descriptor operations that a signal arriving meanwhile must not break off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// flock(`fd`, `operation`), tried again when a signal interrupts the wait; true when it succeeded.
bool LockFile(int fd, int operation);

// Writes all `size` bytes of `data` to `fd`, continuing after short writes and interruptions;
// false when a write fails.
bool WriteAll(int fd, const void* data, size_t size);

// Reads exactly `size` bytes at `offset` with pread (the descriptor's offset stays), continuing
// after short reads and interruptions; false when a read fails or the file ends before.
bool ReadAllAt(int fd, void* buffer, size_t size, uint64_t offset);

// Makes the entries of `directory` (a rename into it, say) durable; false when it cannot.
bool SyncDirectory(const std::string& directory);

}  // namespace platform
