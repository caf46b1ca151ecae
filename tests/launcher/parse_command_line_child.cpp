// Runs the launcher's command-line decision on its own arguments, in a process whose library
// search path the test chose, then the registry write-back, and prints one line (without a
// newline, which Windows would write as two characters):
// <executable name>|<start arguments>|<update check 0/1>|<executable name written back, if any>
#include <cstdio>
#include <string>
#include <vector>

#include "launcher/command_line.h"
#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "platform/registry/registry_values.h"
#include "tests/support/isolated_env.h"

int main(int argc, char** argv) {
    tern_test::UseParentTestRegistry();
    launcher::ParseCommandLine(std::vector<std::string>(argv, argv + argc));
    launcher::WriteExecutableName();
    const launcher::LaunchSettings& settings = launcher::Settings();
    const auto written = platform::ReadRegistryText(
        platform::Hive::CurrentUser, launcher::GameKeyPath(), "ExecutableName", 4096);
    std::printf("%s|%s|%d|%s", settings.executableName.c_str(), settings.startArguments.c_str(),
                settings.checkForUpdates ? 1 : 0, written.value_or("").c_str());
    return 0;
}
