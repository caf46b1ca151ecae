#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace platform {

std::string LibraryFileName(const std::string& name) { return "lib" + name + ".so"; }

// RTLD_LOCAL keeps the library's symbols from resolving anything else loaded later.
bool DynamicLibrary::Load(const std::string& bareName) {
    Unload();
    handle_ = dlopen(bareName.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
    return handle_ ? dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::Unload() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
}

}  // namespace platform
