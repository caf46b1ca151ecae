#include "platform/registry/registry_values.h"

namespace platform {

std::optional<std::string> ReadRegistryText(Hive hive, const std::string& keyPath,
                                            const std::string& name, size_t capacity) {
    RegistryKey key;
    if (RegistryKey::Open(hive, keyPath, &key) != kRegSuccess) return std::nullopt;
    RegistryValue value;
    if (key.QueryValue(name, &value, capacity) != kRegSuccess) return std::nullopt;
    return value.data.substr(0, value.data.find('\0'));
}

long WriteRegistryString(Hive hive, const std::string& keyPath, const std::string& name,
                         const std::string& text) {
    return RegistryKey::SetValueAt(hive, keyPath, name, RegistryValue{ValueType::String, text});
}

}  // namespace platform
