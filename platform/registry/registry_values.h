// Single-value registry reads and writes, the way the launcher and the update library use them.
#pragma once

#include <cstddef>
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

}  // namespace platform
