// Runs the launcher's command-line decision on its own arguments, in a process whose library
// search path the test chose, and prints it as one line:
// <executable name>|<start arguments>|<update check 0/1>|<registry write-back 0/1>
#include <cstdio>
#include <string>
#include <vector>

#include "launcher/command_line.h"
#include "launcher/launch_settings.h"

int main(int argc, char** argv) {
    launcher::ParseCommandLine(std::vector<std::string>(argv, argv + argc));
    const launcher::LaunchSettings& settings = launcher::Settings();
    std::printf("%s|%s|%d|%d\n", settings.executableName.c_str(), settings.startArguments.c_str(),
                settings.checkForUpdates ? 1 : 0, settings.writeRegistry ? 1 : 0);
    return 0;
}
