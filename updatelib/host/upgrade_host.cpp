#include "updatelib/host/upgrade_host.h"

#include <atomic>
#include <charconv>
#include <utility>

#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/host/upgrade_host_impl.h"
#include "updatelib/state/update_state_store.h"
#include "updatelib/transfer/http_downloader.h"

namespace Tern {
namespace {

std::atomic<UpgradeHost*> currentHost{nullptr};

const char* const kResumeValueName = "Patch";
const char* const kPartialPrefix = "R ";

// `number` as a stream with default formatting writes it ("%g"), without the stream's cost.
void AppendStreamNumber(std::string& text, double number) {
    char digits[32];
    text.append(
        digits,
        std::to_chars(digits, digits + sizeof digits, number, std::chars_format::general, 6).ptr);
}

// "<received>/<size> bytes (<percent>%)", the numbers as a stream writes them. A size not known
// yet (0) shows 0 %, not the quotient's "nan" or "inf".
void AppendFigures(std::string& line, double received, double size) {
    AppendStreamNumber(line, received);
    line += '/';
    AppendStreamNumber(line, size);
    line += " bytes (";
    AppendStreamNumber(line, size > 0.0 ? 100.0 * received / size : 0.0);
    line += "%)";
}

// Built for every received chunk of a transfer, hence without stream formatting.
std::string ProgressLine(double totalBytes, double totalReceived, double fileBytes,
                         double fileReceived) {
    std::string line = "Downloaded ";
    line.reserve(128);
    AppendFigures(line, totalReceived, totalBytes);
    line += " -- this file ";
    AppendFigures(line, fileReceived, fileBytes);
    return line;
}

}  // namespace

void LogToUpgradeHost::operator()(const std::string& text) const {
    host->OnLogText(text);
    LibraryDiagnostics() << text;
}

UpgradeHost::UpgradeHostImpl::UpgradeHostImpl(UpgradeHost* owner)
    : host(owner), logStream(LogToUpgradeHost{owner}) {}

bool UpgradeHost::UpgradeHostImpl::OnProgress(double totalBytes, double totalReceived,
                                              double fileBytes, double fileReceived) {
    LibraryDiagnostics() << ProgressLine(totalBytes, totalReceived, fileBytes, fileReceived)
                         << std::endl;
    if (!DownloadPath.empty()) {
        WriteFilesValue(registryKeyPath, kResumeValueName, kPartialPrefix + DownloadPath);
    }
    host->OnProgress(totalBytes, totalReceived, fileBytes, fileReceived);
    {
        std::lock_guard<std::mutex> lock(snapshotMutex);
        snapshot.totalBytes = totalBytes;
        snapshot.totalReceived = totalReceived;
        snapshot.fileBytes = fileBytes;
        snapshot.fileReceived = fileReceived;
    }
    return !abortRequested.load(std::memory_order_acquire);
}

void UpgradeHost::UpgradeHostImpl::OnDownloadStarted(const std::string& url,
                                                     const std::string& description, uint32_t count,
                                                     uint32_t index) {
    {
        std::lock_guard<std::mutex> lock(snapshotMutex);
        snapshot.url = url;
        snapshot.description = description;
        snapshot.updateCount = count;
        snapshot.updateIndex = index;
    }
    host->OnDownloadStarted(url, description, count, index);
}

bool UpgradeHost::UpgradeHostImpl::ConfirmRunUpdate(uint32_t count, uint32_t index) {
    {
        std::lock_guard<std::mutex> lock(snapshotMutex);
        snapshot.updateCount = count;
        snapshot.updateIndex = index;
    }
    return host->ConfirmRunUpdate(count, index);
}

// The worker delivers a stop request that came while the run was ending, so that the host learns
// the run's result first; no lock is held while OnFinished, a blocking call, runs.
void UpgradeHost::UpgradeHostImpl::NotifyFinished() {
    host->NotifyFinished();
    bool stop = false;
    {
        std::lock_guard<std::mutex> lock(finishMutex);
        runFinished = true;
        std::swap(stop, stopWaiting);
    }
    if (stop) host->OnFinished(kUpdateFinishRequested);
}

// While the run goes on, the client's stop is the user's abort; once the run's result has
// reached the host, the application finishes as if its user had asked to.
void UpgradeHost::UpgradeHostImpl::RequestUpdateStop() {
    {
        std::lock_guard<std::mutex> lock(finishMutex);
        if (!runFinished) {
            if (engine.State() == kFinish) {
                stopWaiting = true;
            } else {
                host->Abort();
            }
            return;
        }
    }
    host->OnFinished(kUpdateFinishRequested);
}

ProgressSnapshot UpgradeHost::UpgradeHostImpl::CopySnapshot() const {
    std::lock_guard<std::mutex> lock(snapshotMutex);
    return snapshot;
}

UpgradeHost::UpgradeHost() : impl_(std::make_unique<UpgradeHostImpl>(this)) {}

UpgradeHost::~UpgradeHost() {
    WaitForThreads();
    UpgradeHost* self = this;
    currentHost.compare_exchange_strong(self, nullptr);
}

void UpgradeHost::OnDownloadStarted(const std::string&, const std::string&, uint32_t, uint32_t) {}

bool UpgradeHost::ConfirmRunUpdate(uint32_t, uint32_t) { return true; }

std::ostream& UpgradeHost::Log() { return impl_->logStream; }

void UpgradeHost::OnLogText(const std::string&) {}

bool UpgradeHost::Start(const std::string& gameId, const std::string& registryKeyPath,
                        const std::string& language, const std::string& product) {
    if (impl_->started.exchange(true, std::memory_order_acq_rel)) return false;
    impl_->abortRequested.store(false, std::memory_order_release);
    currentHost.store(this, std::memory_order_release);
    impl_->registryKeyPath = registryKeyPath;
    impl_->service.Start();
    LoadTextFile(LibraryTexts(), language.substr(0, 2));
    impl_->engine.Start(*impl_, gameId, registryKeyPath, product);
    std::lock_guard<std::mutex> lock(impl_->stopMutex);
    if (impl_->syncEvent.Create(kUpdateServiceSyncEvent, true)) impl_->syncEvent.Set();
    return true;
}

void UpgradeHost::Stop() {
    impl_->service.Stop();
    HttpDownloader::GlobalCleanup();
    std::lock_guard<std::mutex> lock(impl_->stopMutex);
    impl_->syncEvent.Close();
}

void UpgradeHost::Abort() { impl_->abortRequested.store(true, std::memory_order_release); }

void UpgradeHost::GetProgress(double& totalBytes, double& totalReceived, double& fileBytes,
                              double& fileReceived, uint32_t& updateCount, uint32_t& updateIndex,
                              std::string& url, std::string& description) const {
    ProgressSnapshot copy = impl_->CopySnapshot();
    totalBytes = copy.totalBytes;
    totalReceived = copy.totalReceived;
    fileBytes = copy.fileBytes;
    fileReceived = copy.fileReceived;
    updateCount = copy.updateCount;
    updateIndex = copy.updateIndex;
    url = std::move(copy.url);
    description = std::move(copy.description);
}

int32_t UpgradeHost::GetEngineState() const { return impl_->engine.State(); }

int32_t UpgradeHost::GetResult() const { return impl_->Result.load(std::memory_order_acquire); }

void UpgradeHost::NotifyFinished() { OnFinished(GetResult()); }

UpdateObserver& UpgradeHost::Observer() { return *impl_; }

const std::string& UpgradeHost::RegistryKeyPath() const { return impl_->registryKeyPath; }

void UpgradeHost::WaitForThreads(const std::function<void()>& whileWaiting) {
    impl_->engine.WaitForWorker(whileWaiting);
    impl_->service.WaitForCalls(whileWaiting);
}

UpgradeHost* CurrentHost() { return currentHost.load(std::memory_order_acquire); }

}  // namespace Tern
