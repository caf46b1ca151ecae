// Single-value registry reads and writes, the way the launcher and the update library use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry/registry.h"

namespace platform {

// Opens `keyPath` for reading and queries `name` into a buffer of `capacity` bytes (strings
// count their NUL). The value's bytes up to the first NUL, whatever its type; nullopt when the
// key or the value is missing or the value does not fit.
std::optional<std::string> ReadRegistryText(Hive hive, const std::string& keyPath,
                                            const std::string& name, size_t capacity);

// Creates or opens `keyPath` and sets `name` to the string `text`. Returns the registry code.
long WriteRegistryString(Hive hive, const std::string& keyPath, const std::string& name,
                         const std::string& text);

// Opens `keyPath` and reads `name` as a dword; nullopt when the key or the value is missing or
// the value is not a dword.
std::optional<uint32_t> ReadRegistryDword(Hive hive, const std::string& keyPath,
                                          const std::string& name);

// Creates or opens `keyPath` and sets `name` to the dword `number`. Returns the registry code.
long WriteRegistryDword(Hive hive, const std::string& keyPath, const std::string& name,
                        uint32_t number);

// The four little-endian bytes of a dword value, and back (`bytes` holds at least four).
std::string EncodeDword(uint32_t number);
uint32_t DecodeDword(const std::string& bytes);

}  // namespace platform
