#include "platform/dynamic_library.h"

#include <windows.h>

namespace platform {

std::string LibraryFileName(const std::string& name) { return name + ".dll"; }

// A bare name goes through the system's DLL search order, as the dynamic loader's does on Linux.
bool DynamicLibrary::Load(const std::string& bareName) {
    Unload();
    handle_ = LoadLibraryA(bareName.c_str());
    return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name))
                   : nullptr;
}

void DynamicLibrary::Unload() {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

}  // namespace platform
