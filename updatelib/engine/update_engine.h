// One update run, carried out as a loop over a state number on a worker thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "updatelib/chain/update_chain.h"
#include "updatelib/engine/update_info.h"
#include "updatelib/state/update_state_store.h"

namespace Tern {

class HttpDownloader;
class UpdateObserver;

// What the engine needs of the host that runs it; the host's implementation provides it.
class UpdateEngineClient {
public:
    // Receives progress, download notifications and the run's Result.
    virtual UpdateObserver& Observer() = 0;
    // The run's technical log.
    virtual std::ostream& Log() = 0;
    // Downloaded updates are ready: may they be run?
    virtual bool ConfirmRunUpdates() = 0;
    // The run has ended: hands Result to the application.
    virtual void NotifyFinished() = 0;

protected:
    ~UpdateEngineClient() = default;
};

enum UpdateEngineState : int32_t {
    kPurgeStaleFiles = 1,
    kRequestUpdateInfo = 2,
    kParseUpdateInfo = 3,
    kDownloadUpdates = 4,
    kFinish = 5,
    kRunUpdates = 6,
};

class UpdateEngine {
public:
    UpdateEngine() = default;
    // The owner waits for the worker (WaitForWorker) before destroying the engine.
    ~UpdateEngine();
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    // Loads the stored file states on the calling thread, then starts the worker, which runs
    // only updates signed for `product`. Call once.
    void Start(UpdateEngineClient& client, const std::string& gameId,
               const std::string& registryKeyPath, const std::string& product);

    int32_t State() const { return state_.load(std::memory_order_acquire); }

    // See UpgradeHost::WaitForWorker.
    void WaitForWorker(const std::function<void()>& whileWaiting);

private:
    void WorkerMain();
    void RunStep(int32_t state, HttpDownloader& downloader);
    void SetState(int32_t state) { state_.store(state, std::memory_order_release); }

    void RequestUpdateInfo(HttpDownloader& downloader);
    // True when it moved on to the download.
    bool ParseUpdateInfo();
    // Ends the run on an unusable answer: `reasonKey`'s text in the log, Result kUpdateFailed,
    // the answer's file deleted. Always false.
    bool RefuseUpdateInfo(const char* reasonKey);
    void RunUpdates();

    UpdateEngineClient* client_ = nullptr;
    std::atomic<int32_t> state_{kPurgeStaleFiles};
    std::string updateInfoPath_;
    std::string registryKeyPath_;
    std::string gameId_;
    std::string product_;
    PatchFields patch_;
    UpdateChain chain_;
    UpdateStateStore stateStore_;

    std::mutex joinMutex_;
    std::thread worker_;
    std::mutex workerMutex_;
    std::condition_variable workerEndedSignal_;
    bool workerEnded_ = false;
};

// The clean-up that starts every run: deletes the files of records flagged for deletion and
// forgets those records. Records of downloads to run or to resume stay, in memory and in the
// registry, so that a run that ends before its download step (offline, no update announced)
// loses none of them.
void PurgeStaleFiles(UpdateStateStore& store, std::ostream& log);

}  // namespace Tern
