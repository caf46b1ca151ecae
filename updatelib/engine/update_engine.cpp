#include "updatelib/engine/update_engine.h"

#include <chrono>
#include <cstdio>
#include <ostream>

#include <tinyxml.h>

#include "updatelib/base/file_functions.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/base/shallow_xml.h"
#include "updatelib/base/update_observer.h"
#include "updatelib/engine/update_info.h"
#include "updatelib/transfer/http_downloader.h"
#include "updatelib/transfer/transfer_limits.h"

namespace Tern {
namespace {

// The pause after every step but the last.
constexpr std::chrono::milliseconds kStepPause(25);

const char* const kPreviousCrcValue = "previousCRC";

// Without a reachable update service the run ends as if there were no update, so that the
// game starts offline. A stalled service (time-out) counts as unreachable.
bool IsServerUnreachable(int code) {
    return code == kCouldntResolveProxy || code == kCouldntResolveHost || code == kCouldntConnect ||
           code == kOperationTimedOut;
}

}  // namespace

void PurgeStaleFiles(UpdateStateStore& store, std::ostream& log) {
    const std::vector<UpdateFileState> records = store.Records();
    for (const UpdateFileState& record : records) {
        if (record.state == FlaggedForDeletion) DeleteUpdateFile(log, record.path);
    }
    store.RemoveState(FlaggedForDeletion);
}

UpdateEngine::~UpdateEngine() {
    if (!worker_.joinable()) return;
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

void UpdateEngine::Start(UpdateEngineClient& client, const std::string& gameId,
                         const std::string& registryKeyPath, const std::string& product) {
    client_ = &client;
    SetState(kPurgeStaleFiles);
    registryKeyPath_ = registryKeyPath;
    gameId_ = gameId;
    product_ = product;
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
        client_->NotifyFinished();
    }
    std::lock_guard<std::mutex> lock(workerMutex_);
    workerEnded_ = true;
    workerEndedSignal_.notify_all();
}

void UpdateEngine::RunStep(int32_t state, HttpDownloader& downloader) {
    switch (state) {
        case kPurgeStaleFiles:
            PurgeStaleFiles(stateStore_, client_->Log());
            SetState(kRequestUpdateInfo);
            break;
        case kRequestUpdateInfo:
            RequestUpdateInfo(downloader);
            break;
        case kParseUpdateInfo:
            ParseUpdateInfo();
            break;
        case kDownloadUpdates:
            SetState(chain_.downloadChain(client_->Observer(), downloader, stateStore_)
                         ? kRunUpdates
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

void UpdateEngine::RequestUpdateInfo(HttpDownloader& downloader) {
    UpdateObserver& observer = client_->Observer();
    std::ostream& log = client_->Log();
    const std::string url = BuildUpdateInfoUrl(gameId_);
    updateInfoPath_ = MakeTempFileName(kDownloadFilePrefix);
    observer.OnDownloadStarted(url, LibText("IDS_LIB_MSG_PATCH_INFO"), 1, 1);
    log << LibText("IDS_LIB_MSG_GET_UPDATE_DOWNLOAD") << " " << updateInfoPath_ << "." << std::endl;
    observer.SetTotalBytes(0.0);
    const TransferBounds bounds{kUpdateInfoXmlLimits.maxBytes,
                                CurrentTransferTimeouts().updateInfoSeconds};
    if (downloader.download(url, updateInfoPath_, false, &observer, bounds)) {
        SetState(kParseUpdateInfo);
        return;
    }
    const int code = downloader.lastResult();
    if (code == kFileTooLarge) {
        RefuseUpdateInfo("IDS_LIB_ERR_FILE_PARSING");
        return;
    }
    if (!IsServerUnreachable(code)) {
        log << LibText("IDS_LIB_ERR_DWNLD_UPDATE_INFO") << ". " << std::endl
            << LibText("IDS_LIB_ERR_FATAL_DOWNLOAD") << ":  " << code << std::endl
            << LibText("IDS_LIB_ERR_CANNOT_CONTINUE") << std::endl;
        observer.Result = code == kAbortedByCallback ? kUpdateUserAborted : kUpdateFailed;
    }
    DeleteUpdateFile(log, updateInfoPath_);
    SetState(kFinish);
}

bool UpdateEngine::RefuseUpdateInfo(const char* reasonKey) {
    std::ostream& log = client_->Log();
    log << LibText(reasonKey) << std::endl << LibText("IDS_LIB_ERR_CANNOT_CONTINUE") << std::endl;
    DeleteUpdateFile(log, updateInfoPath_);
    client_->Observer().Result = kUpdateFailed;
    SetState(kFinish);
    return false;
}

bool UpdateEngine::ParseUpdateInfo() {
    UpdateObserver& observer = client_->Observer();
    std::ostream& log = client_->Log();
    const std::optional<std::string> text = ReadShallowXml(updateInfoPath_, kUpdateInfoXmlLimits);
    TiXmlDocument document;
    if (!text) return RefuseUpdateInfo("IDS_LIB_ERR_FILE_PARSING");
    document.Parse(text->c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (document.Error()) return RefuseUpdateInfo("IDS_LIB_ERR_FILE_PARSING");
    const TiXmlElement* response = document.FirstChildElement("RESPONSE");
    if (!response) return RefuseUpdateInfo("IDS_LIB_ERR_FILE_TYPE");
    if (!response->FirstChild()) {
        DeleteUpdateFile(log, updateInfoPath_);
        observer.Result = kUpdateOk;
        SetState(kFinish);
        return true;
    }
    if (!ReadPatchFields(*response, patch_)) return RefuseUpdateInfo("IDS_LIB_ERR_FILE_FORMAT");

    if (patch_.crc != stateStore_.ReadUserValue(kPreviousCrcValue)) stateStore_.ForgetAll();
    stateStore_.WriteUserValue(kPreviousCrcValue, patch_.crc);
    chain_.Add(Update(TargetId("Patch", "all", "all"), {patch_.url}, patch_.crc,
                      static_cast<int32_t>(patch_.size), std::string(), {}, patch_.isGameUpdate,
                      LibText("IDS_LIB_MSG_NEW_UPDATE")));
    DeleteUpdateFile(log, updateInfoPath_);
    SetState(kDownloadUpdates);
    return true;
}

// The records still waiting to run after the chain ran (updates declined one by one, or that
// could not be opened) are forgotten, and so are their files: nothing would point to them again.
void UpdateEngine::RunUpdates() {
    if (client_->ConfirmRunUpdates()) {
        chain_.runChain(client_->Observer(), stateStore_, product_);
        for (const UpdateFileState& record : stateStore_.Records()) {
            if (record.state == FlaggedForExecution) std::remove(record.path.c_str());
        }
        stateStore_.RemoveState(FlaggedForExecution);
    }
    SetState(kFinish);
}

}  // namespace Tern
