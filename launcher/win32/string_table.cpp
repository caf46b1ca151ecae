#include "launcher/string_table.h"

#include <cstdint>

#include "platform/module_strings.h"

namespace launcher {

// The table is the executable's string resource (launcher/CMakeLists.txt puts it into every
// program that links the launcher), so that a resource editor adapts a built launcher to another
// game.
std::string LoadResourceString(int id) {
    if (id < kFirstStringId || id > kLastStringId) return std::string();
    return platform::LoadModuleString(static_cast<uint16_t>(id));
}

}  // namespace launcher
