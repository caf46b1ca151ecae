// A shared library loaded at run time by its bare name, so that the system's search order and
// LD_LIBRARY_PATH decide which file is used.
#pragma once

#include <string>

namespace platform {

// The file name this system gives the shared library `name`: "lib<name>.so" on Linux,
// "<name>.dll" on Windows.
std::string LibraryFileName(const std::string& name);

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { Unload(); }
    DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) {
        other.handle_ = nullptr;
    }
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept {
        if (this != &other) {
            Unload();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads `bareName` (e.g. LibraryFileName("sysprobe")), unloading a library loaded before. A
    // name with a '/' is taken as a path. False when the library cannot be loaded.
    bool Load(const std::string& bareName);
    bool Loaded() const { return handle_ != nullptr; }
    // The address of the exported symbol; null when it is missing or nothing is loaded.
    void* Symbol(const char* name) const;
    // Addresses obtained from the library are invalid afterwards.
    void Unload();

private:
    void* handle_ = nullptr;
};

}  // namespace platform
