// The launcher's command line: which game executable to start, with which arguments, and
// whether to look for updates first.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace launcher {

// The game's arguments are kept to this many characters (UTF-8 sequences, each counted once).
constexpr size_t kMaxStartArgumentChars = 1023;

// Fills Settings().checkForUpdates, writeRegistry, executableName and startArguments from
// `arguments`, of which the first is the launcher itself (as argv). Options are matched exactly:
// -debug, -release, -retail pick the build flavour ("_d" beats "_r" beats "_rt"), -nopatch
// and -offline switch the update check off, -write_registry asks for the write-back after
// the game started. Every other argument, and -offline, goes to the game: joined with one
// space before each one except the launcher's first argument, with its quotes not restored.
// The executable name ends in "_d3d11.exe" when the hardware probe reports Direct3D 11 and the
// player's profile allows it, else ".exe". Over-long game arguments are cut at a character
// boundary, with one diagnostic line.
void ParseCommandLine(const std::vector<std::string>& arguments);

}  // namespace launcher
