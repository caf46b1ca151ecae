#include "platform/registry/registry.h"

#include <cstdlib>
#include <vector>

#include "platform/files.h"
#include "platform/posix/registry/hive_file.h"
#include "platform/posix/registry/hive_tree.h"
#include "platform/registry/registry_values.h"

namespace platform {
namespace {

const char* RootName(Hive hive) {
    return hive == Hive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

// The download code writes the same value thousands of times a second: while the variables
// that place the hive stay the same, the hive of the last call is the one.
std::shared_ptr<HiveFile> FileOf(Hive hive) {
    struct Cached {
        std::string config;
        std::string home;
        std::shared_ptr<HiveFile> file;
    };
    thread_local Cached cache[2];
    Cached& cached = cache[hive == Hive::LocalMachine ? 0 : 1];
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (cached.file && cached.config == (config ? config : "") &&
        cached.home == (home ? home : "")) {
        return cached.file;
    }
    cached.file = HiveFile::At(HiveFilePath(hive), RootName(hive));
    cached.config = config ? config : "";
    cached.home = home ? home : "";
    return cached.file;
}

// A name must fit on one line of the hive file.
bool IsValidName(const std::string& name) {
    for (char c : name) {
        if (c == '\r' || c == '\n' || c == '\0') return false;
    }
    return true;
}

// What SplitValidPath accepts, without building the components.
bool IsValidPath(const std::string& path) {
    if (path.empty()) return true;
    if (path.front() == '\\' || path.back() == '\\' || path.find("\\\\") != std::string::npos) {
        return false;
    }
    return IsValidName(path);
}

bool SplitValidPath(const std::string& path, std::vector<std::string>* components) {
    if (!reg::SplitKeyPath(path, components)) return false;
    for (const std::string& component : *components) {
        if (!IsValidName(component)) return false;
    }
    return true;
}

}  // namespace

std::string HiveFilePath(Hive hive) {
    return XdgBaseDirectory("XDG_CONFIG_HOME", ".config") + "/tern/registry/" +
           (hive == Hive::LocalMachine ? "system.reg" : "user.reg");
}

struct RegistryKey::State {
    std::shared_ptr<HiveFile> file;
    std::string foldedPath;
    uint64_t serial = 0;

    // The key this handle was opened on, or nullptr when it has been deleted since.
    const reg::Key* Resolve(const reg::Tree& tree) const {
        const reg::Key* key = tree.Find(foldedPath);
        return key && key->serial == serial ? key : nullptr;
    }
    reg::Key* Resolve(reg::Tree& tree) const {
        reg::Key* key = tree.Find(foldedPath);
        return key && key->serial == serial ? key : nullptr;
    }
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

long RegistryKey::Open(Hive hive, const std::string& path, RegistryKey* key) {
    return Bind(hive, path, key, [](HiveFile& file, const std::vector<std::string>&, State& state) {
        return file.Read([&](const reg::Tree& tree) {
            const reg::Key* found = tree.Find(state.foldedPath);
            if (!found) return kRegNotFound;
            state.serial = found->serial;
            return kRegSuccess;
        });
    });
}

long RegistryKey::Create(Hive hive, const std::string& path, RegistryKey* key) {
    return Bind(hive, path, key,
                [](HiveFile& file, const std::vector<std::string>& components, State& state) {
                    return file.Apply([&](reg::Tree& tree, bool* modified) {
                        state.serial = tree.Create(components, modified)->serial;
                        return kRegSuccess;
                    });
                });
}

template <typename Find>
long RegistryKey::Bind(Hive hive, const std::string& path, RegistryKey* key, Find find) {
    if (!key) return kRegInvalidParameter;
    key->Close();
    std::vector<std::string> components;
    if (!SplitValidPath(path, &components)) return kRegInvalidParameter;
    auto state = std::make_unique<State>();
    state->file = FileOf(hive);
    state->foldedPath = reg::FoldCase(path);
    const long result = find(*state->file, components, *state);
    if (result == kRegSuccess) key->state_ = std::move(state);
    return result;
}

long RegistryKey::SetValueAt(Hive hive, const std::string& path, const std::string& name,
                             const RegistryValue& value) {
    if (!IsValidPath(path) || !IsValidName(name)) return kRegInvalidParameter;
    const std::string folded = reg::FoldCase(path);
    return FileOf(hive)->Apply([&](reg::Tree& tree, bool* modified) {
        bool created = false;
        reg::Key* key = tree.Find(folded);
        if (!key) {
            std::vector<std::string> components;
            reg::SplitKeyPath(path, &components);
            key = tree.Create(components, &created);
        }
        const bool changed = key->SetValue(name, static_cast<uint32_t>(value.type), value.data);
        *modified = created || changed;
        return kRegSuccess;
    });
}

bool RegistryKey::IsOpen() const { return state_ != nullptr; }

void RegistryKey::Close() { state_.reset(); }

long RegistryKey::QueryValue(const std::string& name, RegistryValue* value, size_t capacity) const {
    if (!state_) return kRegInvalidHandle;
    if (!value) return kRegInvalidParameter;
    return state_->file->Read([&](const reg::Tree& tree) {
        const reg::Key* key = state_->Resolve(tree);
        if (!key) return kRegKeyDeleted;
        const reg::Value* found = key->FindValue(name);
        if (!found) return kRegNotFound;
        RegistryValue result{static_cast<ValueType>(found->type), found->data};
        if (result.ReportedSize() > capacity) return kRegMoreData;
        *value = std::move(result);
        return kRegSuccess;
    });
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
    return state_->file->Apply([&](reg::Tree& tree, bool* modified) {
        reg::Key* key = state_->Resolve(tree);
        if (!key) return kRegKeyDeleted;
        *modified = key->SetValue(name, static_cast<uint32_t>(value.type), value.data);
        return kRegSuccess;
    });
}

long RegistryKey::EnumValue(size_t index, std::string* name, RegistryValue* value,
                            size_t nameCapacity, size_t dataCapacity) const {
    if (!state_) return kRegInvalidHandle;
    if (!name || !value) return kRegInvalidParameter;
    return state_->file->Read([&](const reg::Tree& tree) {
        const reg::Key* key = state_->Resolve(tree);
        if (!key) return kRegKeyDeleted;
        if (index >= key->values.size()) return kRegNoMoreItems;
        const reg::Value& found = key->values[index];
        RegistryValue result{static_cast<ValueType>(found.type), found.data};
        if (found.name.size() + 1 > nameCapacity || result.ReportedSize() > dataCapacity) {
            return kRegMoreData;
        }
        *name = found.name;
        *value = std::move(result);
        return kRegSuccess;
    });
}

long RegistryKey::DeleteValue(const std::string& name) {
    if (!state_) return kRegInvalidHandle;
    return state_->file->Apply([&](reg::Tree& tree, bool* modified) {
        reg::Key* key = state_->Resolve(tree);
        if (!key) return kRegKeyDeleted;
        *modified = key->DeleteValue(name);
        return *modified ? kRegSuccess : kRegNotFound;
    });
}

long RegistryKey::DeleteValues(const std::vector<std::string>& names) {
    if (!state_) return kRegInvalidHandle;
    return state_->file->Apply([&](reg::Tree& tree, bool* modified) {
        reg::Key* key = state_->Resolve(tree);
        if (!key) return kRegKeyDeleted;
        for (const std::string& name : names) *modified |= key->DeleteValue(name);
        return kRegSuccess;
    });
}

long RegistryKey::DeleteSubKey(const std::string& name) {
    if (!state_) return kRegInvalidHandle;
    std::vector<std::string> components;
    if (name.empty() || !SplitValidPath(name, &components)) return kRegInvalidParameter;
    const std::string folded =
        (state_->foldedPath.empty() ? "" : state_->foldedPath + '\\') + reg::FoldCase(name);
    return state_->file->Apply([&](reg::Tree& tree, bool* modified) {
        if (!state_->Resolve(tree)) return kRegKeyDeleted;
        if (!tree.Find(folded)) return kRegNotFound;
        if (tree.HasSubKeys(folded)) return kRegAccessDenied;
        tree.Erase(folded);
        *modified = true;
        return kRegSuccess;
    });
}

}  // namespace platform
