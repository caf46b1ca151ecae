#include "updatelib/chain/update.h"

#include <cstring>
#include <optional>
#include <random>
#include <utility>

#include "platform/file.h"
#include "platform/files.h"
#include "platform/process.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/file_functions.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/base/update_observer.h"
#include "updatelib/state/update_state_store.h"
#include "updatelib/transfer/http_downloader.h"
#include "updatelib/transfer/patch_checksum.h"
#include "updatelib/transfer/trust_check.h"

namespace Tern {
namespace {

const char kLastInfoName[] = "lastinfo";

#ifndef TERN_ACCEPT_UNSTAMPED_PATCHES
#define TERN_ACCEPT_UNSTAMPED_PATCHES 0
#endif
// Patches signed before signatures carried a release stamp run only in builds that ask for it.
constexpr bool kAcceptUnstampedPatches = TERN_ACCEPT_UNSTAMPED_PATCHES;

size_t PickMirror(size_t count) {
    static thread_local std::mt19937 random{std::random_device{}()};
    return std::uniform_int_distribution<size_t>(0, count - 1)(random);
}

// A cut or reset connection and a stalled server leave a partial file worth resuming.
bool EndedEarly(int code) {
    return code == kPartialFile || code == kReceiveError || code == kOperationTimedOut;
}

// Starts the signed payload of the update open at `file`: a download has no execute permission
// until now, and the patch never sees the signature after its payload, so a script needs no
// `exit` before it.
long StartFile(platform::File file, uint64_t payloadSize, const std::string& path,
               platform::Process* process) {
    if (!file.AllowOwnerToExecute()) return platform::kOpenAccessDenied;
    return platform::OpenProgramFilePrefix(std::move(file), payloadSize, path, "",
                                           GetExecutableDirectory(), process);
}

}  // namespace

Update::Update(const TargetId& target, std::vector<std::string> mirrors, std::string signature,
               int32_t size, std::string version, std::vector<TargetId> applyAfter,
               bool containsUpgradeLauncher, std::string description)
    : TargetItem(target),
      mirrors(std::move(mirrors)),
      signature(std::move(signature)),
      size(size),
      version(std::move(version)),
      applyAfter(std::move(applyAfter)),
      containsUpgradeLauncher(containsUpgradeLauncher),
      description(std::move(description)) {}

const char* Update::TypeName() const { return "Update"; }

bool Update::IsKindOf(const char* name) const {
    return std::strcmp(name, "Update") == 0 || std::strcmp(name, "TargetItem") == 0;
}

void Update::Hook() {}

void Update::Dump(std::ostream& out) const {
    out << "\tSignature=" << signature << std::endl;
    out << "\tVersion=" << version << std::endl;
    out << "\tSize=" << size << std::endl;
    if (!mirrors.empty()) {
        out << "\tMirrors:" << std::endl;
        for (const std::string& mirror : mirrors) out << "\t\t" << mirror << std::endl;
    }
    if (containsUpgradeLauncher) out << "\tContainsUpgradeLauncher" << std::endl;
    if (!applyAfter.empty()) {
        out << "\tApplyAfter:" << std::endl;
        for (const TargetId& after : applyAfter) out << "\t\t" << after.ToText() << std::endl;
    }
    if (!description.empty()) out << "\tDescription=" << description << std::endl;
}

Update::Ptr Update::Clone() const { return Ptr(new Update(*this)); }

void Update::Destroy() { delete this; }

bool Update::downloadUpdate(UpdateObserver& observer, HttpDownloader& downloader,
                            UpdateStateStore& stateStore, uint32_t count, uint32_t index) {
    std::ostream& log = observer.Log();
    UpdateFileState stored = PlaceholderFileState();
    const bool resumes = stateStore.Lookup(target, stored);
    if (resumes && stored.state != PartialDownload) return reuseStoredFile(stored, stateStore, log);
    if (mirrors.empty()) {
        log << LibText("IDS_LIB_ERR_NO_MIRRORS") << " " << LibText("IDS_LIB_ERR_CANNOT_CONTINUE")
            << std::endl;
        observer.Result = kUpdateFailed;
        return false;
    }
    // Created only now that a transfer will fill it, or delete it.
    const std::string destination = resumes ? stored.path : MakeDownloadFile();
    if (resumes) {
        log << LibText("IDS_LIB_MSG_ATTEMPTING_RESUME") << "(" << destination << ", "
            << target.ToText() << ")" << std::endl;
    }
    observer.DownloadPath = destination;
    const std::string& mirror = mirrors[PickMirror(mirrors.size())];
    log << LibText("IDS_LIB_MSG_TRYING_UPDATE_DOWNLOAD") << " " << mirror << ". "
        << LibText("IDS_LIB_MSG_DESTINATION") << ": " << destination << "." << std::endl;
    observer.OnDownloadStarted(mirror, description, count, index);

    const TransferBounds bounds{static_cast<uint64_t>(size), 0};
    if (!downloader.download(mirror, destination, true, &observer, bounds)) {
        return endFailedTransfer(observer, downloader, stateStore, destination, resumes);
    }
    log << LibText("IDS_LIB_MSG_SUCCESS_UPDATE") << std::endl;
    return verifyDownload(observer, stateStore, destination);
}

bool Update::reuseStoredFile(const UpdateFileState& stored, UpdateStateStore& stateStore,
                             std::ostream& log) {
    const bool ready = stored.state == FlaggedForExecution;
    log << LibText(ready ? "IDS_LIB_MSG_FLAGGED_EXECUTION" : "IDS_LIB_MSG_FLAGGED_DELETE") << "("
        << stored.path << ", " << target.ToText() << ")" << std::endl;
    if (ready) stateStore.Store(target, stored.path, FlaggedForExecution);
    return ready;
}

bool Update::endFailedTransfer(UpdateObserver& observer, const HttpDownloader& downloader,
                               UpdateStateStore& stateStore, const std::string& file,
                               bool resumed) {
    std::ostream& log = observer.Log();
    const int code = downloader.lastResult();
    const std::string text = downloader.errorText();
    const bool aborted = code == kAbortedByCallback;
    if (EndedEarly(code)) log << LibText("IDS_LIB_ERR_PARTIALLY") << std::endl;
    if (aborted) log << LibText("IDS_LIB_ERR_USER_ABORT") << std::endl;
    const bool worthResuming = EndedEarly(code) || aborted;
    if (worthResuming) {
        log << LibText("IDS_LIB_MSG_PARTIAL_DOWNLOAD") << "(" << text << ")." << std::endl;
    } else {
        log << LibText("IDS_LIB_ERR_FATAL_DOWNLOAD") << " (" << text << ")." << std::endl
            << LibText("IDS_LIB_ERR_DELETING") << std::endl;
    }
    // A stored partial file survives any failure but one: a file that grew beyond the announced
    // size is not the announced file, however it began.
    const bool keep = worthResuming || (resumed && code != kFileTooLarge);
    if (keep) {
        stateStore.Store(target, file, PartialDownload);
    } else {
        DeleteUpdateFile(log, file);
    }
    observer.Result = aborted ? kUpdateUserAborted : keep ? kUpdateIncomplete : kUpdateFailed;
    return false;
}

bool Update::verifyDownload(UpdateObserver& observer, UpdateStateStore& stateStore,
                            const std::string& file) {
    std::ostream& log = observer.Log();
    const std::optional<uint32_t> computed = ChecksumOfFile(file);
    const uint32_t expected = ParseSignature(signature);
    if (!computed) {
        log << LibText("IDS_LIB_ERR_OPEN_FILE") << std::endl;
    } else {
        log << LibText("IDS_LIB_MSG_CRC_VERIFY") << " " << ChecksumText(*computed) << ". "
            << LibText("IDS_LIB_MSG_CRC_EXPECTED") << " " << ChecksumText(expected) << "."
            << std::endl;
        if (*computed == expected) {
            stateStore.Store(target, file, FlaggedForExecution);
            return true;
        }
        log << LibText("IDS_LIB_ERR_CRC_NOT_MATCH") << std::endl;
    }
    observer.Result = kUpdateFailed;
    DeleteUpdateFile(log, file);
    return false;
}

// The file is opened once, for writing so that it can be cut to its payload: it is checked, cut
// and started through that one handle, so a file put in its place after the check never
// runs. A file that cannot be opened so (a running program's, say) is still checked by its path,
// to tell a file never trusted, which is deleted, from one that cannot start now.
bool Update::startUpdate(UpdateObserver& observer, UpdateStateStore& stateStore,
                         const std::string& product) {
    std::ostream& log = observer.Log();
    UpdateFileState stored = PlaceholderFileState();
    if (!stateStore.Lookup(target, stored)) {
        log << LibText("IDS_LIB_ERR_LOCAL_TARGET") << target.ToText() << std::endl;
        observer.Result = kUpdateFailed;
        return false;
    }
    const std::string path = stored.path;
    platform::File file = platform::File::OpenForReadingAndWriting(path);
    uint64_t payloadSize = 0;
    uint32_t release = 0;
    const ReleaseRequirement requirement{product, stateStore.ReadHighestRelease(),
                                         stateStore.LastStartHasNotTakenEffect(),
                                         kAcceptUnstampedPatches};
    if (!verifyFileTrust(path, file, requirement, &payloadSize, &release)) {
        log << LibText("IDS_LIB_ERR_UPDATE_NOT_TRUSTED") << std::endl;
        observer.Result = kUpdateFailed;
        // Windows deletes no file while a handle that shares no deletion holds it open.
        file = platform::File();
        DeleteUpdateFile(log, path);
        return false;
    }
    if (!file.Valid()) {
        log << LibText("IDS_LIB_ERR_EXE_NOT_FOUND") << "(" << path << ")" << std::endl;
        return false;
    }
    log << LibText("IDS_LIB_MSG_START_UPDATE") << " (" << path << ")" << std::endl;
    // Read before the start: a quick update may install itself, and change the id, before this
    // thread gets to read it after the start.
    const std::string installedInfo = stateStore.ReadInstalledInfo();
    const bool cutToPayload = file.Size().value_or(payloadSize) > payloadSize;
    platform::Process process;
    const long started = StartFile(std::move(file), payloadSize, path, &process);
    if (!platform::OpenSucceeded(started)) {
        log << LibText("IDS_LIB_ERR_FAILED_START_UPDATE") << " ";
        if (started == platform::kOpenCancelled) {
            log << LibText("IDS_ERR_USER_CANCEL") << std::endl;
        } else {
            log << "[Err: " << started << "]" << LibText("IDS_LIB_ERR_CORRUPTED") << " (" << path
                << ")" << std::endl;
        }
        if (started == platform::kOpenAccessDenied) {
            ProgramsCanRunFrom(path.substr(0, path.find_last_of(platform::kPathSeparators) + 1),
                               log);
        }
        observer.Result = kUpdateFailed;
        DeleteUpdateFile(log, path);
        return false;
    }
    // The release first: once the patch runs, no answer may offer it or an older one again.
    if (release != 0) stateStore.WriteHighestRelease(release);
    stateStore.Store(target, path, FlaggedForDeletion);
    stateStore.WriteUserValue(kLastInfoName, installedInfo);
    if (containsUpgradeLauncher) {
        observer.Result = kUpdateReplacesLauncher;
        return true;
    }
    // The result stays kUpdateOk whatever the patch answers: only its next start can tell
    // whether it installed itself, by the installation's id.
    const int exitCode = process.Wait();
    log << LibText("IDS_LIB_MSG_UPDATE_EXIT_CODE") << " " << exitCode << std::endl;
    // Without its signature the file can never be checked again, so a run that finds the update
    // has not taken effect downloads it anew rather than refusing this copy.
    if (cutToPayload) DeleteUpdateFile(log, path);
    LibraryDiagnostics() << "The update " << path << " ended with exit code " << exitCode
                         << std::endl;
    observer.Result = kUpdateOk;
    return true;
}

}  // namespace Tern
