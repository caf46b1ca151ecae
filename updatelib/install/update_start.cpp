// Starting the downloaded updates of a chain.
#include <fcntl.h>

#include <ostream>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "updatelib/engine/update.h"
#include "updatelib/engine/update_engine.h"
#include "updatelib/engine/update_state_store.h"
#include "updatelib/host/file_functions.h"
#include "updatelib/host/library_texts.h"
#include "updatelib/host/update_observer.h"
#include "updatelib/install/trust_check.h"

namespace Tern {
namespace {

const char kLastInfoName[] = "lastinfo";

// Starts the update open at `fd`: a download has no execute permission until now.
long StartFile(int fd, const std::string& path, int* processId) {
    if (!platform::AllowOwnerToExecute(fd)) return platform::kOpenAccessDenied;
    return platform::OpenProgramFile(fd, path, "", GetExecutableDirectory(), processId);
}

}  // namespace

// The file is opened once: it is checked, tested and started through that one descriptor, so
// a file put in its place after the check never runs.
bool Update::startUpdate(UpdateObserver& observer, UpdateStateStore& stateStore) {
    std::ostream& log = observer.Log();
    UpdateFileState stored = PlaceholderFileState();
    if (!stateStore.Lookup(target, stored)) {
        log << LibText("IDS_LIB_ERR_LOCAL_TARGET") << target.ToText() << std::endl;
        observer.Result = kUpdateFailed;
        return false;
    }
    const std::string path = stored.path;
    const platform::UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!verifyFileTrust(path, file.Get())) {
        log << LibText("IDS_LIB_ERR_UPDATE_NOT_TRUSTED") << std::endl;
        observer.Result = kUpdateFailed;
        DeleteUpdateFile(log, path);
        return false;
    }
    if (!platform::CanReopenForReadingAndWriting(file.Get())) {
        log << LibText("IDS_LIB_ERR_EXE_NOT_FOUND") << "(" << path << ")" << std::endl;
        return false;
    }
    log << LibText("IDS_LIB_MSG_START_UPDATE") << " (" << path << ")" << std::endl;
    int processId = -1;
    const long started = StartFile(file.Get(), path, &processId);
    if (started <= platform::kOpenSucceededAbove) {
        log << LibText("IDS_LIB_ERR_FAILED_START_UPDATE") << " [Err: " << started << "]"
            << LibText("IDS_LIB_ERR_CORRUPTED") << " (" << path << ")" << std::endl;
        observer.Result = kUpdateFailed;
        DeleteUpdateFile(log, path);
        return false;
    }
    stateStore.Store(target, path, FlaggedForDeletion);
    stateStore.WriteUserValue(kLastInfoName, stateStore.ReadInstalledInfo());
    if (containsUpgradeLauncher) {
        observer.Result = kUpdateReplacesLauncher;
        return true;
    }
    platform::WaitForProcess(processId);
    observer.Result = kUpdateOk;
    return true;
}

}  // namespace Tern
