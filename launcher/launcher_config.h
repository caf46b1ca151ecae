// The launcher's configuration: registry paths from the string table, the values it reads
// and writes, and its localized texts.
#pragma once

#include <string>

#include "updatelib/base/localized_text.h"

namespace launcher {

// "Software\Norland\Skyreach" for the default string table.
std::string GameKeyPath();
// GameKeyPath() + "\GameUpdate".
std::string UpdateKeyPath();

// The launcher's own text table, loaded once at start-up.
Tern::LocalizedTextTable& LauncherTexts();

template <typename... Args>
std::string GetText(const std::string& key, const Args&... arguments) {
    return LauncherTexts().GetText(key, arguments...);
}

// Reads the launcher language ("us" when unreadable) and loads the launcher's texts of that
// language below `directory`, or those of "us" when that language has no text file; the language
// loaded goes into Settings().uiLanguage. False when no text file was read.
bool LoadLocalizedTextsFrom(const std::string& directory);
// The same below the launcher's own directory.
bool LoadLocalizedTexts();

// The game id sent to the update service; empty when unreadable.
std::string ReadGameId();

// Appends " -language=<game language>" to Settings().startArguments. False, with the
// arguments unchanged, when the game language cannot be read.
bool AppendGameLanguage();

// With Settings().writeRegistry, record what was started in the user's hive; otherwise nothing.
void WriteExecutableName();
void WriteStartArguments();

}  // namespace launcher
