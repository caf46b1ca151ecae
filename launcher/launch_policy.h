// The launcher's decisions, apart from the window that shows them: what the end of an update
// run leads to, and what an incomplete installation tells the player.
#pragma once

#include <cstdint>
#include <string>

namespace launcher {

// What the launcher does when an update run ends with a result (Tern::UpdateResult).
struct RunOutcome {
    const char* statusKey = nullptr;  // the status text to show; null: it stays
    bool startGame = false;
    bool close = false;      // the launcher ends; otherwise it waits for the player
    bool expandLog = false;  // the technical log is opened for the player to read
};

RunOutcome OutcomeOfRun(int32_t result);

// The message of an installation whose registry values are missing; `gameIdMissing` names the
// game id as the missing value.
std::string MissingInstallationMessage(bool gameIdMissing);

}  // namespace launcher
