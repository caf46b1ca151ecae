// The string table (ids 105 to 128) and game settings that adapt the launcher to one game. The
// table is compiled in on Linux and the executable's string resource on Windows; the settings
// are compiled in on both.
#pragma once

#include <string>

namespace launcher {

enum StringId {
    IDS_ABORTING_CAPTION = 105,
    IDS_MISSING_EXECUTABLE_PATH = 114,
    IDS_LANGUAGE_VALUE = 117,
    IDS_GAME_ID_VALUE = 118,
    IDS_UPDATE_SUBKEY = 119,
    IDS_GAME_KEY_BASE = 120,
    IDS_GAME_NAME = 121,
    IDS_NOT_ADAPTED = 124,
    IDS_GAME_LANGUAGE_VALUE = 126,
    IDS_EXECUTABLE_NAME_VALUE = 127,
    IDS_START_ARGUMENTS_VALUE = 128,
};

constexpr int kFirstStringId = 105;
constexpr int kLastStringId = 128;

// The entry's text; empty for an id outside the table.
std::string LoadResourceString(int id);

// The game's executable name without flavour and ending ("skyreach").
std::string GameExecutableBase();
// The caption of the launcher's window and message boxes ("Skyreach Updater").
std::string WindowCaption();
// The product a patch's release stamp must name ("Skyreach").
std::string ProductName();

}  // namespace launcher
