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

std::optional<uint32_t> ReadRegistryDword(Hive hive, const std::string& keyPath,
                                          const std::string& name) {
    RegistryKey key;
    if (RegistryKey::Open(hive, keyPath, &key) != kRegSuccess) return std::nullopt;
    RegistryValue value;
    if (key.QueryValue(name, &value, sizeof(uint32_t)) != kRegSuccess ||
        value.type != ValueType::Dword || value.data.size() != sizeof(uint32_t)) {
        return std::nullopt;
    }
    return DecodeDword(value.data);
}

long WriteRegistryDword(Hive hive, const std::string& keyPath, const std::string& name,
                        uint32_t number) {
    return RegistryKey::SetValueAt(hive, keyPath, name,
                                   RegistryValue{ValueType::Dword, EncodeDword(number)});
}

std::string EncodeDword(uint32_t number) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<char>((number >> shift) & 0xFF));
    }
    return bytes;
}

uint32_t DecodeDword(const std::string& bytes) {
    uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(bytes[i]);
    return number;
}

}  // namespace platform
