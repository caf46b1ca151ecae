#include "launcher/string_table.h"

// The table's GAME_SETTING values with their defaults, read by the build: compiled in on every
// system, since only the string table proper is a resource on Windows.
#include "game_settings.h"

namespace launcher {

std::string GameExecutableBase() { return TERN_GAME_SETTING_ExecutableBase; }

std::string WindowCaption() { return TERN_GAME_SETTING_WindowCaption; }

std::string ProductName() { return TERN_GAME_SETTING_ProductName; }

}  // namespace launcher
