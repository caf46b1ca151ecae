#include "updatelib/chain/update_chain.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/files.h"
#include "updatelib/base/file_functions.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/base/update_observer.h"
#include "updatelib/state/update_state_store.h"

namespace Tern {
namespace {

std::string TargetTexts(const UpdateChain& chain) {
    std::string texts;
    for (size_t i = 0; i < chain.Count(); ++i) {
        if (i > 0) texts += "; ";
        texts += chain.At(i).target.ToText() + ".";
    }
    return texts;
}

uint64_t Megabytes(double bytes) { return static_cast<uint64_t>(bytes) / 0x100000; }

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

// A volume whose free space cannot be read is not held against the download: a real shortage
// still ends it with a write error.
bool DiskHasRoomFor(double required, std::ostream& log) {
    const std::optional<uint64_t> free = platform::AvailableDiskSpace(GetTempDirectory());
    if (!free || required <= static_cast<double>(*free)) return true;
    log << LibText("IDS_LIB_ERR_FATAL_DOWNLOAD") << std::endl
        << LibText("IDS_LIB_ERR_NOT_ENOUGH_DISK_SPACE") << std::endl
        << LibText("IDS_LIB_MSG_REQUIRED") << ": " << Megabytes(required)
        << LibText("IDS_LIB_MSG_MB") << std::endl
        << LibText("IDS_LIB_MSG_AVAILABLE") << ": " << *free / 0x100000 << LibText("IDS_LIB_MSG_MB")
        << std::endl
        << LibText("IDS_LIB_ERR_CANNOT_CONTINUE") << std::endl;
    return false;
}

}  // namespace

UpdateChain::~UpdateChain() {
    for (Update::Ptr& update : updates_) update.reset();
}

void UpdateChain::Add(const Update& update) { updates_.push_back(update.Clone()); }

bool UpdateChain::downloadChain(UpdateObserver& observer, HttpDownloader& downloader,
                                UpdateStateStore& stateStore) {
    std::ostream& log = observer.Log();
    log << LibText("IDS_LIB_MSG_FOUND_UPDATE") << " " << TargetTexts(*this) << std::endl;
    // A patch that could never start there is not downloaded, however often the launcher runs.
    if (!ProgramsCanRunFrom(GetTempDirectory(), log)) {
        log << LibText("IDS_LIB_ERR_CANNOT_CONTINUE") << std::endl;
        observer.Result = kUpdateFailed;
        return false;
    }
    if (!DiskHasRoomFor(BytesStillToCome(*this, stateStore), log)) {
        observer.Result = kUpdateFailed;
        return false;
    }
    double total = 0.0;
    for (size_t i = 0; i < Count(); ++i) total += At(i).size;
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

bool UpdateChain::runChain(UpdateObserver& observer, UpdateStateStore& stateStore,
                           const std::string& product) {
    return runChain(observer, [&](Update& update) {
        return update.startUpdate(observer, stateStore, product);
    });
}

bool UpdateChain::runChain(UpdateObserver& observer, const std::function<bool(Update&)>& start) {
    const auto count = static_cast<uint32_t>(updates_.size());
    for (uint32_t index = 1; index <= count; ++index) {
        if (observer.ConfirmRunUpdate(count, index)) start(*updates_[index - 1]);
    }
    return false;
}

}  // namespace Tern
