#include "platform/registry/registry.h"

#include <windows.h>

#include <utility>

#include "platform/registry/registry_values.h"
#include "platform/test_seams.h"

namespace platform {
namespace {

// Tests move both hives below one key of the current user's, which they own and delete.
std::string& TestRoot() {
    static std::string root;
    return root;
}

bool& SkipDeleteKeyEx() {
    static bool skip = false;
    return skip;
}

// The key that stands for `hive` and the path of `path` below it.
std::pair<HKEY, std::string> Locate(Hive hive, const std::string& path) {
    const char* hiveName = hive == Hive::LocalMachine ? "LocalMachine" : "CurrentUser";
    if (!TestRoot().empty()) {
        return {HKEY_CURRENT_USER,
                TestRoot() + '\\' + hiveName + (path.empty() ? "" : "\\" + path)};
    }
    return {hive == Hive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path};
}

// An embedded NUL would cut the name short on its way to the system.
bool IsValidName(const std::string& name) { return name.find('\0') == std::string::npos; }

bool IsValidPath(const std::string& path) {
    if (path.empty()) return true;
    return path.front() != '\\' && path.back() != '\\' && path.find("\\\\") == std::string::npos &&
           IsValidName(path);
}

// Where the key is not writable (the machine hive without administrator rights), it still opens
// for reading; the writes then answer kRegAccessDenied.
template <typename OpenWith>
long OpenWritableOrReadable(OpenWith open) {
    const long result = open(KEY_READ | KEY_WRITE);
    return result == ERROR_ACCESS_DENIED ? open(KEY_READ) : result;
}

// Turns the system's bytes into the caller's form: a string loses its terminating NUL.
RegistryValue ToValue(DWORD type, std::string bytes) {
    if (type == REG_SZ && !bytes.empty() && bytes.back() == '\0') bytes.pop_back();
    return RegistryValue{static_cast<ValueType>(type), std::move(bytes)};
}

// A dword's bytes are the number's, and a string's the text's with its NUL.
std::string ToBytes(const RegistryValue& value) {
    return value.type == ValueType::String ? value.data + '\0' : value.data;
}

}  // namespace

namespace testing {

void PlaceRegistryBelow(const std::string& userKeyPath) { TestRoot() = userKeyPath; }

void AvoidRegDeleteKeyEx(bool avoid) { SkipDeleteKeyEx() = avoid; }

}  // namespace testing

struct RegistryKey::State {
    HKEY handle = nullptr;
    ~State() { RegCloseKey(handle); }
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

long RegistryKey::Open(Hive hive, const std::string& path, RegistryKey* key) {
    return Bind(hive, path, key, [](HKEY root, const std::string& full, HKEY* handle) {
        return OpenWritableOrReadable(
            [&](REGSAM access) { return RegOpenKeyExA(root, full.c_str(), 0, access, handle); });
    });
}

long RegistryKey::Create(Hive hive, const std::string& path, RegistryKey* key) {
    return Bind(hive, path, key, [](HKEY root, const std::string& full, HKEY* handle) {
        return OpenWritableOrReadable([&](REGSAM access) {
            return RegCreateKeyExA(root, full.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                   nullptr, handle, nullptr);
        });
    });
}

template <typename Find>
long RegistryKey::Bind(Hive hive, const std::string& path, RegistryKey* key, Find find) {
    if (!key) return kRegInvalidParameter;
    key->Close();
    if (!IsValidPath(path)) return kRegInvalidParameter;
    const auto [root, full] = Locate(hive, path);
    auto state = std::make_unique<State>();
    const long result = find(root, full, &state->handle);
    if (result == kRegSuccess) key->state_ = std::move(state);
    return result;
}

long RegistryKey::SetValueAt(Hive hive, const std::string& path, const std::string& name,
                             const RegistryValue& value) {
    RegistryKey key;
    const long result = Create(hive, path, &key);
    return result == kRegSuccess ? key.SetValue(name, value) : result;
}

bool RegistryKey::IsOpen() const { return state_ != nullptr; }

void RegistryKey::Close() { state_.reset(); }

long RegistryKey::QueryValue(const std::string& name, RegistryValue* value, size_t capacity) const {
    if (!state_) return kRegInvalidHandle;
    if (!value || !IsValidName(name)) return kRegInvalidParameter;
    // The value may grow between asking its size and reading it; the next round catches up.
    for (;;) {
        DWORD type = 0;
        DWORD size = 0;
        long result =
            RegQueryValueExA(state_->handle, name.c_str(), nullptr, &type, nullptr, &size);
        if (result != ERROR_SUCCESS) return result;
        std::string bytes(size, '\0');
        result = RegQueryValueExA(state_->handle, name.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(bytes.data()), &size);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) return result;
        bytes.resize(size);
        RegistryValue found = ToValue(type, std::move(bytes));
        if (found.ReportedSize() > capacity) return kRegMoreData;
        *value = std::move(found);
        return kRegSuccess;
    }
}

long RegistryKey::SetString(const std::string& name, const std::string& text) {
    return SetValue(name, RegistryValue{ValueType::String, text});
}

long RegistryKey::SetDword(const std::string& name, uint32_t number) {
    return SetValue(name, RegistryValue{ValueType::Dword, EncodeDword(number)});
}

long RegistryKey::SetBinary(const std::string& name, const std::string& bytes) {
    return SetValue(name, RegistryValue{ValueType::Binary, bytes});
}

long RegistryKey::SetValue(const std::string& name, const RegistryValue& value) {
    if (!state_) return kRegInvalidHandle;
    if (!IsValidName(name)) return kRegInvalidParameter;
    const std::string bytes = ToBytes(value);
    if (bytes.size() > MAXDWORD) return kRegInvalidParameter;
    return RegSetValueExA(state_->handle, name.c_str(), 0, static_cast<DWORD>(value.type),
                          reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
}

long RegistryKey::EnumValue(size_t index, std::string* name, RegistryValue* value,
                            size_t nameCapacity, size_t dataCapacity) const {
    if (!state_) return kRegInvalidHandle;
    if (!name || !value) return kRegInvalidParameter;
    if (index > MAXDWORD) return kRegNoMoreItems;
    for (;;) {
        DWORD nameLength = 0;
        DWORD dataLength = 0;
        long result =
            RegQueryInfoKeyA(state_->handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &nameLength, &dataLength, nullptr, nullptr);
        if (result != ERROR_SUCCESS) return result;
        std::string foundName(nameLength + 1, '\0');
        std::string bytes(dataLength, '\0');
        DWORD type = 0;
        nameLength = static_cast<DWORD>(foundName.size());
        result =
            RegEnumValueA(state_->handle, static_cast<DWORD>(index), foundName.data(), &nameLength,
                          nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &dataLength);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) return result;
        foundName.resize(nameLength);
        bytes.resize(dataLength);
        RegistryValue found = ToValue(type, std::move(bytes));
        if (foundName.size() + 1 > nameCapacity || found.ReportedSize() > dataCapacity) {
            return kRegMoreData;
        }
        *name = std::move(foundName);
        *value = std::move(found);
        return kRegSuccess;
    }
}

long RegistryKey::DeleteValue(const std::string& name) {
    if (!state_) return kRegInvalidHandle;
    if (!IsValidName(name)) return kRegNotFound;
    return RegDeleteValueA(state_->handle, name.c_str());
}

long RegistryKey::DeleteValues(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        const long result = DeleteValue(name);
        if (result != kRegSuccess && result != kRegNotFound) return result;
    }
    return state_ ? kRegSuccess : kRegInvalidHandle;
}

long RegistryKey::DeleteSubKey(const std::string& name) {
    if (!state_) return kRegInvalidHandle;
    if (name.empty() || !IsValidPath(name)) return kRegInvalidParameter;
    // 32-bit Windows XP lacks the call that names the registry view.
    using DeleteKeyEx = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);
    static const auto deleteKeyEx = reinterpret_cast<DeleteKeyEx>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegDeleteKeyExA")));
    if (deleteKeyEx && !SkipDeleteKeyEx()) return deleteKeyEx(state_->handle, name.c_str(), 0, 0);
    return RegDeleteKeyA(state_->handle, name.c_str());
}

}  // namespace platform
