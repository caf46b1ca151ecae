// Download and verification of the chain's updates.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <sstream>

#include "platform/files.h"
#include "updatelib/engine/update_chain.h"
#include "updatelib/engine/update_engine.h"
#include "updatelib/engine/update_state_store.h"
#include "updatelib/host/file_functions.h"
#include "updatelib/host/library_texts.h"
#include "updatelib/host/update_observer.h"
#include "updatelib/install/http_downloader.h"
#include "updatelib/install/patch_checksum.h"

namespace Tern {
namespace {

constexpr double kBytesPerMegabyte = 1048576.0;

std::string TargetTexts(const UpdateChain& chain) {
    std::string texts;
    for (size_t i = 0; i < chain.Count(); ++i) {
        if (i > 0) texts += "; ";
        texts += chain.At(i).target.ToText() + ".";
    }
    return texts;
}

uint64_t Megabytes(double bytes) { return static_cast<uint64_t>(bytes) / 0x100000; }

size_t PickMirror(size_t count) {
    static thread_local std::mt19937 random{std::random_device{}()};
    return std::uniform_int_distribution<size_t>(0, count - 1)(random);
}

// A cut or reset connection, a stalled server and the user's abort leave a partial file worth
// resuming.
bool EndedEarly(int code) {
    return code == kPartialFile || code == kReceiveError || code == kOperationTimedOut;
}

bool KeepsPartialFile(int code) { return EndedEarly(code) || code == kAbortedByCallback; }

// The bytes the chain's downloads still need on disk: a stored partial download has part of
// its file already, a download ready to run needs nothing more.
double BytesStillToCome(const UpdateChain& chain, const UpdateStateStore& stateStore) {
    double bytes = 0.0;
    for (size_t i = 0; i < chain.Count(); ++i) {
        const Update& update = chain.At(i);
        UpdateFileState stored = PlaceholderFileState();
        double onDisk = 0.0;
        if (stateStore.Lookup(update.target, stored)) {
            if (stored.state == FlaggedForExecution) onDisk = update.size;
            if (stored.state == PartialDownload) {
                onDisk = static_cast<double>(platform::FileSize(stored.path).value_or(0));
            }
        }
        bytes += std::max(0.0, update.size - onDisk);
    }
    return bytes;
}

}  // namespace

bool UpdateChain::downloadChain(UpdateObserver& observer, HttpDownloader& downloader,
                                UpdateStateStore& stateStore) {
    std::ostream& log = observer.Log();
    log << LibText("IDS_LIB_MSG_FOUND_UPDATE") << " " << TargetTexts(*this) << std::endl;

    double total = 0.0;
    for (size_t i = 0; i < Count(); ++i) total += At(i).size;
    const double required = BytesStillToCome(*this, stateStore);
    // A volume whose free space cannot be read is not held against the download: a real
    // shortage still ends it with a write error.
    const std::optional<uint64_t> free = platform::AvailableDiskSpace(GetTempDirectory());
    if (free && required > static_cast<double>(*free)) {
        log << LibText("IDS_LIB_ERR_FATAL_DOWNLOAD") << std::endl
            << LibText("IDS_LIB_ERR_NOT_ENOUGH_DISK_SPACE") << std::endl
            << LibText("IDS_LIB_MSG_REQUIRED") << ": " << Megabytes(required)
            << LibText("IDS_LIB_MSG_MB") << std::endl
            << LibText("IDS_LIB_MSG_AVAILABLE") << ": " << *free / 0x100000
            << LibText("IDS_LIB_MSG_MB") << std::endl
            << LibText("IDS_LIB_ERR_CANNOT_CONTINUE") << std::endl;
        observer.Result = kUpdateFailed;
        return false;
    }

    observer.SetTotalBytes(total);
    const auto count = static_cast<uint32_t>(Count());
    double completed = 0.0;
    for (uint32_t index = 1; index <= count; ++index) {
        Update& update = At(index - 1);
        if (!update.downloadUpdate(observer, downloader, stateStore, count, index)) return false;
        completed += update.size;
        observer.SetCompletedBytes(completed);
    }
    return true;
}

bool Update::downloadUpdate(UpdateObserver& observer, HttpDownloader& downloader,
                            UpdateStateStore& stateStore, uint32_t count, uint32_t index) {
    std::ostream& log = observer.Log();
    const std::string targetText = target.ToText();

    UpdateFileState stored = PlaceholderFileState();
    std::string destination;
    bool resumesStoredDownload = false;
    if (!stateStore.Lookup(target, stored)) {
        destination = MakeDownloadFile();
    } else if (stored.state == PartialDownload) {
        destination = stored.path;
        resumesStoredDownload = true;
        log << LibText("IDS_LIB_MSG_ATTEMPTING_RESUME") << "(" << destination << ", " << targetText
            << ")" << std::endl;
    } else if (stored.state == FlaggedForExecution) {
        log << LibText("IDS_LIB_MSG_FLAGGED_EXECUTION") << "(" << stored.path << ", " << targetText
            << ")" << std::endl;
        stateStore.Store(target, stored.path, FlaggedForExecution);
        return true;
    } else {
        log << LibText("IDS_LIB_MSG_FLAGGED_DELETE") << "(" << stored.path << ", " << targetText
            << ")" << std::endl;
        return false;
    }

    observer.DownloadPath = destination;
    if (mirrors.empty()) {
        log << LibText("IDS_LIB_ERR_NO_MIRRORS") << " " << LibText("IDS_LIB_ERR_CANNOT_CONTINUE")
            << std::endl;
        observer.Result = kUpdateFailed;
        return false;
    }
    const std::string& mirror = mirrors[PickMirror(mirrors.size())];
    log << LibText("IDS_LIB_MSG_TRYING_UPDATE_DOWNLOAD") << " " << mirror << ". "
        << LibText("IDS_LIB_MSG_DESTINATION") << ": " << destination << "." << std::endl;
    observer.OnDownloadStarted(mirror, description, count, index);

    const TransferBounds bounds{static_cast<uint64_t>(size), 0};
    if (downloader.download(mirror, destination, true, &observer, bounds)) {
        log << LibText("IDS_LIB_MSG_SUCCESS_UPDATE") << std::endl;
        const std::optional<uint32_t> computed = ChecksumOfFile(destination);
        if (!computed) {
            log << LibText("IDS_LIB_ERR_OPEN_FILE") << std::endl;
            observer.Result = kUpdateFailed;
            DeleteUpdateFile(log, destination);
            return false;
        }
        const uint32_t expected = ParseSignature(signature);
        log << LibText("IDS_LIB_MSG_CRC_VERIFY") << " " << ChecksumText(*computed) << ". "
            << LibText("IDS_LIB_MSG_CRC_EXPECTED") << " " << ChecksumText(expected) << "."
            << std::endl;
        if (*computed == expected) {
            stateStore.Store(target, destination, FlaggedForExecution);
            return true;
        }
        log << LibText("IDS_LIB_ERR_CRC_NOT_MATCH") << std::endl;
        observer.Result = kUpdateFailed;
        DeleteUpdateFile(log, destination);
        return false;
    }

    const int code = downloader.lastResult();
    const std::string text = downloader.errorText();
    if (EndedEarly(code)) {
        log << LibText("IDS_LIB_ERR_PARTIALLY") << std::endl;
    } else if (code == kAbortedByCallback) {
        log << LibText("IDS_LIB_ERR_USER_ABORT") << std::endl;
    }
    bool keptPartialFile = false;
    if (KeepsPartialFile(code)) {
        stateStore.Store(target, destination, PartialDownload);
        log << LibText("IDS_LIB_MSG_PARTIAL_DOWNLOAD") << "(" << text << ")." << std::endl;
        keptPartialFile = true;
    } else {
        log << LibText("IDS_LIB_ERR_FATAL_DOWNLOAD") << " (" << text << ")." << std::endl
            << LibText("IDS_LIB_ERR_DELETING") << std::endl;
        // A file that grew beyond the announced size is not the announced file, however it
        // began.
        if (resumesStoredDownload && code != kFileTooLarge) {
            stateStore.Store(target, destination, PartialDownload);
            keptPartialFile = true;
        } else {
            DeleteUpdateFile(log, destination);
        }
    }
    observer.Result = code == kAbortedByCallback ? kUpdateUserAborted
                      : keptPartialFile          ? kUpdateIncomplete
                                                 : kUpdateFailed;
    return false;
}

}  // namespace Tern
