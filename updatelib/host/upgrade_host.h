// The boundary between an application and the update library.
//
// An application derives from UpgradeHost, implements the notifications, and calls Start. The
// update run then works on a worker thread of its own; every notification below is made on
// that thread. The run ends with exactly one OnFinished.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "updatelib/base/update_observer.h"

namespace Tern {

class UpgradeHost {
public:
    struct UpgradeHostImpl;

    UpgradeHost();
    // Waits for the run's threads (see WaitForThreads) before the implementation goes.
    virtual ~UpgradeHost();
    UpgradeHost(const UpgradeHost&) = delete;
    UpgradeHost& operator=(const UpgradeHost&) = delete;

    // Every progress report of a transfer: overall total and received, file total and received.
    virtual void OnProgress(double totalBytes, double totalReceived, double fileBytes,
                            double fileReceived) = 0;
    // The download of update `index` (1-based) of `count` begins.
    virtual void OnDownloadStarted(const std::string& url, const std::string& description,
                                   uint32_t count, uint32_t index);
    // The run ended with `result` (an UpdateResult). A client's stop request after the end
    // gives kUpdateFinishRequested, never before the run's own result.
    virtual void OnFinished(int32_t result) = 0;
    // Downloaded updates are ready: may they be run?
    virtual bool ConfirmRunUpdates() = 0;
    // May update `index` (1-based) of `count` be run now? Yes by default.
    virtual bool ConfirmRunUpdate(uint32_t count, uint32_t index);
    // The run's technical log.
    virtual std::ostream& Log();
    // One flushed piece of the technical log, normally a line ending in '\n'.
    virtual void OnLogText(const std::string& text);

    // Starts the update run for `gameId`, keeping its state under the user's `registryKeyPath`,
    // with the library's texts of the first two characters of `language`; only updates whose
    // signature is stamped for `product` run. Call on the application's thread. False, doing
    // nothing, when the host was started before.
    bool Start(const std::string& gameId, const std::string& registryKeyPath,
               const std::string& language, const std::string& product);
    // Stops the local update service (without waiting for its calls in progress), releases the
    // HTTP library and closes the sync event. Idempotent; safe on any thread, including inside
    // OnFinished and inside a call of the service. It neither stops nor waits for the worker.
    void Stop();
    // Asks the running transfer to stop; the run then ends with kUpdateUserAborted.
    void Abort();
    // Copies the progress snapshot.
    void GetProgress(double& totalBytes, double& totalReceived, double& fileBytes,
                     double& fileReceived, uint32_t& updateCount, uint32_t& updateIndex,
                     std::string& url, std::string& description) const;
    int32_t GetEngineState() const;
    int32_t GetResult() const;
    // Calls OnFinished with the run's result.
    void NotifyFinished();
    UpdateObserver& Observer();
    const std::string& RegistryKeyPath() const;

    // Blocks until the worker thread has ended (at once when none was started, or on the worker
    // itself), then stops the local update service and waits for its calls in progress.
    // `whileWaiting` runs repeatedly meanwhile, so that a thread the notifications wait for (a
    // blocking call into the UI thread, say) can keep serving them: an application whose
    // notifications block on its UI thread calls this on that thread, with a function that
    // serves those calls, before it destroys the host. Not inside a call of the service.
    void WaitForThreads(const std::function<void()>& whileWaiting = {});

private:
    std::unique_ptr<UpgradeHostImpl> impl_;
};

// The started host of the process (one per process), or null.
UpgradeHost* CurrentHost();

}  // namespace Tern
