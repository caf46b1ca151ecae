// What start-up decided: whether to look for updates, which game executable to start, with
// which arguments, and the language of the launcher's texts.
#pragma once

#include <string>

namespace launcher {

struct LaunchSettings {
    bool checkForUpdates = true;
    bool writeRegistry = false;
    std::string executableName;  // file name without directory, e.g. skyreach.exe
    std::string startArguments;
    std::string uiLanguage;  // at most three characters
};

// The process's one settings record, written during start-up on the main thread.
LaunchSettings& Settings();

}  // namespace launcher
