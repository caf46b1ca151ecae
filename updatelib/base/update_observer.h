// Receiver of an update run's notifications; the host's implementation is the one in use.
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>

#include "updatelib/base/download_progress_observer.h"

namespace Tern {

// Result codes of an update run.
enum UpdateResult : int32_t {
    kUpdateOk = 0,
    kUpdateReplacesLauncher = 1,
    kUpdateNoUpdateFound = 2,  // reserved: the library never writes it
    kUpdateFailed = 3,
    kUpdateIncomplete = 4,
    kUpdateUserAborted = 5,
    kUpdateFinishRequested = 6,  // only ever passed to OnFinished
    kUpdateError = 7,            // reserved: the library never writes it
};

class UpdateObserver : public DownloadProgressObserver {
public:
    // The run's result code; written by the worker, read by any thread.
    std::atomic<int32_t> Result{kUpdateOk};
    // Local path of the file the current download writes; empty while none is known.
    // Written and read on the worker thread only.
    std::string DownloadPath;

    // The download of update `index` (1-based) of `count` begins from `url`.
    virtual void OnDownloadStarted(const std::string& url, const std::string& description,
                                   uint32_t count, uint32_t index) = 0;
    // The run's technical log. Every message ends with std::endl.
    virtual std::ostream& Log() = 0;
    // May update `index` (1-based) of `count` be run now?
    virtual bool ConfirmRunUpdate(uint32_t count, uint32_t index) = 0;

protected:
    ~UpdateObserver() = default;
};

}  // namespace Tern
