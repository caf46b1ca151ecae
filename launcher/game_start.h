// Starting the game beside the launcher.
#pragma once

#include <string>

namespace launcher {

// Opens Settings().executableName with Settings().startArguments in the launcher's own
// directory. After a successful start (a result above 32) it records the executable name and
// the arguments in the user's hive when Settings().writeRegistry asks for it. Returns the start
// result with the desktop shell's numbers (platform/process.h).
long LaunchGame();

// The text that tells the player that the start failed with `result`.
std::string GameStartFailureMessage(long result);

}  // namespace launcher
