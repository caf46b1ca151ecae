// Registry: two hives kept as `.reg` text files under $XDG_CONFIG_HOME/tern/registry/.
//
// The calls mirror the desktop registry the update code was written against, including its
// numeric return codes, which the callers log. Key and value names compare case-insensitively
// and keep the case they were created with; paths use '\' as separator.
//
// Every change takes an exclusive lock on the hive's lock file, re-reads the hive when it
// changed on disk, and replaces the file atomically (temporary file, fsync, rename, mode
// 0600). A change that leaves the hive as it was does not touch the file. A hive file that
// cannot be parsed is never overwritten: reads behave as if the key were missing, writes fail
// with kRegCorrupt, and one diagnostic line names the file and the line.
//
// On Windows the calls go to the system registry (HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER), which
// keeps these promises itself except one: values enumerate in the system's order, not necessarily
// the order of their creation. A key that cannot be written opens for reading, and writes to it
// answer kRegAccessDenied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class Hive { LocalMachine, CurrentUser };

// Return codes, with the desktop numbers.
constexpr long kRegSuccess = 0;
constexpr long kRegNotFound = 2;       // key or value missing
constexpr long kRegAccessDenied = 5;   // e.g. deleting a key that has sub-keys
constexpr long kRegInvalidHandle = 6;  // operation on a closed key
constexpr long kRegInvalidParameter = 87;
constexpr long kRegMoreData = 234;     // value or name larger than the caller's buffer
constexpr long kRegNoMoreItems = 259;  // enumeration past the last value
constexpr long kRegCorrupt = 1015;     // hive file unreadable, unparsable or not writable
constexpr long kRegKeyDeleted = 1018;  // the key was deleted while open

// Value types, with the desktop numbers.
enum class ValueType : uint32_t { String = 1, Binary = 3, Dword = 4 };

struct RegistryValue {
    ValueType type = ValueType::String;
    // The value's bytes. A string holds its text without the terminating NUL; a dword holds
    // four little-endian bytes.
    std::string data;

    // Size the desktop registry reports for the value: strings count their terminating NUL.
    size_t ReportedSize() const { return data.size() + (type == ValueType::String ? 1 : 0); }
};

#ifndef _WIN32
// Absolute path of the hive's file (the directory may not exist yet).
std::string HiveFilePath(Hive hive);
#endif

class RegistryKey {
public:
    RegistryKey();
    ~RegistryKey();
    RegistryKey(RegistryKey&&) noexcept;
    RegistryKey& operator=(RegistryKey&&) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens an existing key. kRegNotFound when it does not exist (or the hive is unparsable).
    static long Open(Hive hive, const std::string& path, RegistryKey* key);
    // Opens the key, creating it and every missing parent first.
    static long Create(Hive hive, const std::string& path, RegistryKey* key);

    // Creates the key when missing and sets the value, as one change: one look at the hive
    // file instead of two, for callers that write the same value very often.
    static long SetValueAt(Hive hive, const std::string& path, const std::string& name,
                           const RegistryValue& value);

    bool IsOpen() const;
    // Closes the handle; further calls answer kRegInvalidHandle. Closing twice is harmless.
    void Close();

    // Reads a value. `capacity` is the caller's buffer size in the desktop sense
    // (ReportedSize must fit): kRegMoreData when it does not, and *value is then untouched.
    long QueryValue(const std::string& name, RegistryValue* value, size_t capacity) const;

    long SetString(const std::string& name, const std::string& text);
    long SetDword(const std::string& name, uint32_t number);
    long SetBinary(const std::string& name, const std::string& bytes);
    long SetValue(const std::string& name, const RegistryValue& value);

    // Reads the value at `index` in creation order. kRegNoMoreItems past the last one;
    // kRegMoreData when the name (plus its NUL) exceeds nameCapacity or the value exceeds
    // dataCapacity.
    long EnumValue(size_t index, std::string* name, RegistryValue* value, size_t nameCapacity,
                   size_t dataCapacity) const;

    long DeleteValue(const std::string& name);
    // Deletes every value of `names` that exists, as one change of the hive: one file
    // replacement however many values go.
    long DeleteValues(const std::vector<std::string>& names);
    // Deletes the sub-key `name` (a path relative to this key) with all its values.
    // kRegAccessDenied when it has sub-keys of its own.
    long DeleteSubKey(const std::string& name);

private:
    struct State;
    // Opens a handle on `path` when `find` (run on the hive) locates or makes the key.
    template <typename Find>
    static long Bind(Hive hive, const std::string& path, RegistryKey* key, Find find);

    std::unique_ptr<State> state_;
};

}  // namespace platform
