#include "launcher/game_start.h"

#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "platform/process.h"
#include "updatelib/base/file_functions.h"

namespace launcher {

long LaunchGame() {
    const LaunchSettings& settings = Settings();
    const long result = platform::OpenProgram(settings.executableName, settings.startArguments,
                                              Tern::GetExecutableDirectory());
    if (platform::OpenSucceeded(result)) {
        WriteExecutableName();
        WriteStartArguments();
    }
    return result;
}

std::string GameStartFailureMessage(long result) {
    return GetText("IDS_EXEC_COMMAND_FAILED") + " " + Settings().executableName + " (error " +
           std::to_string(result) + ")" + "\n" + GetText("IDS_EXEC_NOT_FOUND");
}

}  // namespace launcher
