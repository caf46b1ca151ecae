#include "launcher/launch_policy.h"

#include "launcher/launcher_config.h"
#include "updatelib/base/update_observer.h"

namespace launcher {

RunOutcome OutcomeOfRun(int32_t result) {
    switch (result) {
        case Tern::kUpdateOk:
        case Tern::kUpdateUserAborted:
        case Tern::kUpdateFinishRequested:
            return {nullptr, true, true, false};
        case Tern::kUpdateReplacesLauncher:
            return {nullptr, false, true, false};
        case Tern::kUpdateNoUpdateFound:
            return {"IDS_NO_UPDATE_FOUND", true, true, false};
        case Tern::kUpdateFailed:
            return {"IDS_ERROR_MESSAGE", false, false, true};
        case Tern::kUpdateIncomplete:
            return {"IDS_DOWNLOAD_INCOMPLETE", false, false, false};
        case Tern::kUpdateError:
            return {"IDS_ERROR_MESSAGE", false, false, false};
        default:
            return {};
    }
}

std::string MissingInstallationMessage(bool gameIdMissing) {
    const std::string detail = gameIdMissing ? GetText("IDS_ERR_CONFIGURATION") + " " +
                                                   GetText("IDS_ERR_MISSING_GAMEID") + "\r\n"
                                             : "";
    return GetText("IDS_ERR_FAILED_START_GAME") + " " + GetText("IDS_ERR_MISSING_REGISTRY_KEY") +
           "\r\n" + detail + "\n" + GetText("IDS_MSG_REINSTALL") + "\r\n";
}

}  // namespace launcher
