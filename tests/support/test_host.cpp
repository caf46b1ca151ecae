#include "tests/support/test_host.h"

#include "updatelib/service/update_service.h"

namespace tern_test {

void HoldUpdateServiceEndpoint() {
#ifdef _WIN32
    struct IdleProvider : Tern::UpdateServiceProvider {
        int32_t GetUpdateState() const override { return 0; }
        int32_t GetUpdateResult() const override { return 0; }
        Tern::ProgressSnapshot GetUpdateProgress() const override { return {}; }
        void RequestUpdateStop() override {}
    };
    // Never ended: the process's exit ends it.
    static Tern::UpdateService* const service = new Tern::UpdateService(*new IdleProvider);
    service->Start();
#endif
}

TestHost::~TestHost() {
    WaitForThreads([this] { uiThread.ServePending(); });
}

void TestHost::OnProgress(double totalBytes, double totalReceived, double fileBytes,
                          double fileReceived) {
    if (onProgressHook) onProgressHook();
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.push_back({totalBytes, totalReceived, fileBytes, fileReceived});
}

void TestHost::OnFinished(int32_t result) {
    if (onFinishedHook) onFinishedHook(result);
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.push_back(result);
    finishedThread_ = std::this_thread::get_id();
}

bool TestHost::ConfirmRunUpdates() {
    stateWhenAskedToRun = GetEngineState();
    return confirmRunUpdates;
}

bool TestHost::ConfirmRunUpdate(uint32_t count, uint32_t index) {
    return confirmRunUpdate ? confirmRunUpdate(count, index) : true;
}

void TestHost::OnLogText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_ += text;
}

std::vector<int32_t> TestHost::FinishedResults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

std::thread::id TestHost::FinishedThread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finishedThread_;
}

std::string TestHost::LogText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::vector<std::vector<double>> TestHost::ProgressReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_;
}

}  // namespace tern_test
