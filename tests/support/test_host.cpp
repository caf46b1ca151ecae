#include "tests/support/test_host.h"

namespace tern_test {

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
