// Runs the launcher's command-line decision on its own arguments, in a process whose library
// search path the test chose, and prints the settings: executable name, start arguments,
// update check (0/1) and registry write-back (0/1), one per line.
#include <cstdio>
#include <string>
#include <vector>

#include "launcher/command_line.h"
#include "launcher/launch_settings.h"

int main(int argc, char** argv) {
    launcher::ParseCommandLine(std::vector<std::string>(argv, argv + argc));
    const launcher::LaunchSettings& settings = launcher::Settings();
    std::printf("%s\n%s\n%d\n%d\n", settings.executableName.c_str(),
                settings.startArguments.c_str(), settings.checkForUpdates ? 1 : 0,
                settings.writeRegistry ? 1 : 0);
    return 0;
}
