#include "updatelib/state/update_state_store.h"

#include <climits>

#include <algorithm>
#include <cstdio>

#include "platform/files.h"
#include "platform/registry/registry_values.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/file_functions.h"

namespace Tern {
namespace {

using platform::Hive;
using platform::RegistryKey;
using platform::RegistryValue;

const char kFilesKeyName[] = "UpdateFiles";
const char kInstalledInfoName[] = "info";
const char kLastInfoName[] = "lastinfo";
const char kHighestReleaseName[] = "lastrelease";

// Control strings are a state prefix of two characters followed by a path.
constexpr size_t kPrefixLength = 2;

// Buffer sizes of the stored format, in bytes including the terminating NUL. A control string
// holds any path the system accepts.
constexpr size_t kValueNameBytes = 256;
constexpr size_t kControlStringBytes = kPrefixLength + PATH_MAX + 1;
constexpr size_t kSingleValueBytes = 256;
constexpr size_t kMinimumControlLength = 3;

std::string FilesKeyPath(const std::string& keyPath) {
    if (keyPath.empty() || keyPath.back() == '\\') return keyPath + kFilesKeyName;
    return keyPath + '\\' + kFilesKeyName;
}

std::string PrefixOf(int32_t state) {
    switch (state) {
        case FlaggedForDeletion:
            return "D ";
        case FlaggedForExecution:
            return "E ";
        case PartialDownload:
            return "R ";
        default:
            return "";
    }
}

// ASCII only: the prefixes are a letter and a blank, whatever the locale.
bool SamePrefixIgnoringCase(const std::string& prefix, const char* expected) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return lower(prefix[0]) == lower(expected[0]) && lower(prefix[1]) == lower(expected[1]);
}

// The desktop registry offers two calls for deleting a key with its values, chosen by what
// the running system exports; this registry has one that serves both cases.
long DeleteKeyWithValues(RegistryKey& parent, const std::string& name) {
    return parent.DeleteSubKey(name);
}

}  // namespace

UpdateFileState PlaceholderFileState() {
    return UpdateFileState{TargetId::FromKey("invalidproduct"), "", FlaggedForDeletion};
}

void UpdateStateStore::Open(const std::string& keyPath) {
    baseKeyPath_ = keyPath;
    filesKeyPath_ = FilesKeyPath(keyPath);
    Load();
}

// Values to drop are collected and deleted at the end as one change of the hive, so that a
// thousand stale values cost one file replacement, not a thousand.
void UpdateStateStore::Load() {
    RegistryKey key;
    if (RegistryKey::Open(Hive::CurrentUser, filesKeyPath_, &key) != platform::kRegSuccess) {
        return;
    }
    std::vector<std::string> dropped;
    std::string name;
    RegistryValue value;
    long code;
    for (size_t index = 0;; ++index) {
        code = key.EnumValue(index, &name, &value, kValueNameBytes, kControlStringBytes);
        if (code == platform::kRegMoreData) {
            LibraryDiagnostics() << "Stored value " << index << " is too long, skipped."
                                 << std::endl;
            continue;
        }
        if (code != platform::kRegSuccess) break;
        if (!LoadValue(name, value)) dropped.push_back(name);
    }
    LibraryDiagnostics() << "Registry lastError: " << code << std::endl;
    if (!dropped.empty()) key.DeleteValues(dropped);
}

bool UpdateStateStore::LoadValue(const std::string& name, const RegistryValue& value) {
    if (value.type != platform::ValueType::String) {
        LibraryDiagnostics() << "Key " << filesKeyPath_ << name << "is not of string type."
                             << std::endl;
        return true;
    }
    const std::string control = value.data.substr(0, value.data.find('\0'));
    if (control.size() < kMinimumControlLength) {
        LibraryDiagnostics() << "Invalid control string " << control << ", string is too small."
                             << std::endl;
        return true;
    }
    const std::string prefix = control.substr(0, kPrefixLength);
    const std::string path = control.substr(kPrefixLength);
    if (!IsDownloadFile(path)) {
        LibraryDiagnostics() << "Dropped stored update file state " << name << ": " << path
                             << " is not a download of this program." << std::endl;
        return false;
    }
    if (!platform::CanOpenForReadingAndWriting(path)) return false;

    int32_t state;
    if (SamePrefixIgnoringCase(prefix, "E ")) {
        state = FlaggedForExecution;
    } else if (SamePrefixIgnoringCase(prefix, "R ")) {
        state = PartialDownload;
    } else if (SamePrefixIgnoringCase(prefix, "D ")) {
        state = LastStartHasNotTakenEffect() ? FlaggedForExecution : FlaggedForDeletion;
    } else {
        LibraryDiagnostics() << "Invalid update state " << prefix << std::endl;
        return true;
    }
    const TargetId target = TargetId::FromKey(name);
    LibraryDiagnostics() << "Found stored update file state: " << path << " state: " << state
                         << " target: " << target.ToText() << std::endl;
    records_.push_back(UpdateFileState{target, path, state});
    return true;
}

bool UpdateStateStore::Lookup(const TargetId& target, UpdateFileState& record) const {
    const auto found = std::find_if(records_.begin(), records_.end(),
                                    [&](const UpdateFileState& r) { return r.target == target; });
    if (found == records_.end()) return false;
    record = *found;
    return true;
}

void UpdateStateStore::Store(const TargetId& target, const std::string& path, int32_t state) {
    WriteFilesValue(baseKeyPath_, target.ToKey(), PrefixOf(state) + path);
    bool matched = false;
    for (UpdateFileState& record : records_) {
        if (record.target != target) continue;
        record.path = path;
        record.state = state;
        matched = true;
    }
    if (!matched) records_.push_back(UpdateFileState{target, path, state});
}

void UpdateStateStore::RemoveState(int32_t state) {
    RegistryKey key;
    if (RegistryKey::Open(Hive::CurrentUser, filesKeyPath_, &key) != platform::kRegSuccess) {
        return;
    }
    const auto inState = [state](const UpdateFileState& record) { return record.state == state; };
    std::vector<std::string> names;
    for (const UpdateFileState& record : records_) {
        if (inState(record)) names.push_back(record.target.ToKey());
    }
    key.DeleteValues(names);
    records_.erase(std::remove_if(records_.begin(), records_.end(), inState), records_.end());
}

void UpdateStateStore::DropFilesKey() {
    RegistryKey key;
    if (RegistryKey::Open(Hive::CurrentUser, baseKeyPath_, &key) != platform::kRegSuccess) {
        return;
    }
    DeleteKeyWithValues(key, kFilesKeyName);
}

void UpdateStateStore::ForgetAll() {
    for (const UpdateFileState& record : records_) {
        if (record.state == FlaggedForExecution || record.state == PartialDownload) {
            std::remove(record.path.c_str());
        }
    }
    records_.clear();
    DropFilesKey();
}

std::string UpdateStateStore::ReadUserValue(const std::string& name) const {
    return platform::ReadRegistryText(Hive::CurrentUser, baseKeyPath_, name, kSingleValueBytes)
        .value_or("");
}

void UpdateStateStore::WriteUserValue(const std::string& name, const std::string& value) {
    platform::WriteRegistryString(Hive::CurrentUser, baseKeyPath_, name, value);
}

std::string UpdateStateStore::ReadInstalledInfo() const {
    return platform::ReadRegistryText(Hive::LocalMachine, baseKeyPath_, kInstalledInfoName,
                                      kSingleValueBytes)
        .value_or("");
}

bool UpdateStateStore::LastStartHasNotTakenEffect() const {
    return ReadInstalledInfo() == ReadUserValue(kLastInfoName);
}

uint32_t UpdateStateStore::ReadHighestRelease() const {
    return platform::ReadRegistryDword(Hive::CurrentUser, baseKeyPath_, kHighestReleaseName)
        .value_or(0);
}

void UpdateStateStore::WriteHighestRelease(uint32_t release) {
    platform::WriteRegistryDword(Hive::CurrentUser, baseKeyPath_, kHighestReleaseName, release);
}

void WriteFilesValue(const std::string& keyPath, const std::string& name, const std::string& data) {
    platform::WriteRegistryString(Hive::CurrentUser, FilesKeyPath(keyPath), name, data);
}

}  // namespace Tern
