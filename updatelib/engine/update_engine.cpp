#include "updatelib/engine/update_engine.h"

#include <chrono>
#include <cstdio>

#include "updatelib/host/library_texts.h"
#include "updatelib/host/upgrade_host.h"
#include "updatelib/install/http_downloader.h"

namespace Tern {
namespace {

// The pause after every step but the last.
constexpr std::chrono::milliseconds kStepPause(25);

}  // namespace

void DeleteUpdateFile(std::ostream& log, const std::string& path) {
    if (std::remove(path.c_str()) != 0) {
        log << LibText("IDS_LIB_ERR_CANNOT_DELETE_FILE") << ": " << path << "." << std::endl;
    }
}

void PurgeStaleFiles(UpdateStateStore& store, std::ostream& log) {
    const std::vector<UpdateFileState> records = store.Records();
    for (const UpdateFileState& record : records) {
        if (record.state == FlaggedForDeletion) DeleteUpdateFile(log, record.path);
    }
    store.RemoveState(FlaggedForDeletion);
    store.DropFilesKey();
}

UpdateEngine::~UpdateEngine() {
    if (!worker_.joinable()) return;
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

void UpdateEngine::Start(UpgradeHost* host, const std::string& gameId,
                         const std::string& registryKeyPath) {
    host_ = host;
    SetState(kPurgeStaleFiles);
    registryKeyPath_ = registryKeyPath;
    gameId_ = gameId;
    stateStore_.Open(registryKeyPath_);
    worker_ = std::thread(&UpdateEngine::WorkerMain, this);
}

void UpdateEngine::WaitForWorker(const std::function<void()>& whileWaiting) {
    std::lock_guard<std::mutex> joinLock(joinMutex_);
    if (!worker_.joinable() || worker_.get_id() == std::this_thread::get_id()) return;
    if (whileWaiting) {
        std::unique_lock<std::mutex> lock(workerMutex_);
        while (!workerEnded_) {
            lock.unlock();
            whileWaiting();
            lock.lock();
            workerEndedSignal_.wait_for(lock, std::chrono::milliseconds(1));
        }
    }
    worker_.join();
}

void UpdateEngine::WorkerMain() {
    {
        HttpDownloader downloader;
        for (int32_t state = State(); state != kFinish; state = State()) {
            RunStep(state, downloader);
            std::this_thread::sleep_for(kStepPause);
        }
        host_->NotifyFinished();
    }
    std::lock_guard<std::mutex> lock(workerMutex_);
    workerEnded_ = true;
    workerEndedSignal_.notify_all();
}

void UpdateEngine::RunStep(int32_t state, HttpDownloader& downloader) {
    switch (state) {
        case kPurgeStaleFiles:
            PurgeStaleFiles(stateStore_, host_->Log());
            SetState(kRequestUpdateInfo);
            break;
        case kRequestUpdateInfo:
            RequestUpdateInfo(downloader);
            break;
        case kParseUpdateInfo:
            ParseUpdateInfo();
            break;
        case kDownloadUpdates:
            SetState(chain_.downloadChain(host_->Observer(), downloader, stateStore_) ? kRunUpdates
                                                                                      : kFinish);
            break;
        case kRunUpdates:
            RunUpdates();
            break;
        default:
            SetState(kFinish);
            break;
    }
}

// Temporary body until the update-information request is built: ends the run the way an
// unreachable update server does (Result unchanged).
void UpdateEngine::RequestUpdateInfo(HttpDownloader&) { SetState(kFinish); }

// Temporary body until the update-information answer is read: ends the run like
// RequestUpdateInfo's temporary body.
void UpdateEngine::ParseUpdateInfo() { SetState(kFinish); }

void UpdateEngine::RunUpdates() {
    if (host_->ConfirmRunUpdates()) {
        chain_.runChain(host_->Observer(), stateStore_);
        stateStore_.RemoveState(FlaggedForExecution);
    }
    SetState(kFinish);
}

}  // namespace Tern
