// An update host for tests: records every notification and lets a test play the UI thread
// that blocking notifications wait for.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "launcher/ui_thread_calls.h"
#include "updatelib/host/upgrade_host.h"

namespace tern_test {

class TestHost : public Tern::UpgradeHost {
public:
    // Waits for the worker while serving blocking calls, as an application must.
    ~TestHost() override;

    void OnProgress(double totalBytes, double totalReceived, double fileBytes,
                    double fileReceived) override;
    void OnFinished(int32_t result) override;
    bool ConfirmRunUpdates() override;
    bool ConfirmRunUpdate(uint32_t count, uint32_t index) override;
    void OnLogText(const std::string& text) override;

    // What the host saw, safe to read after WaitForThreads.
    std::vector<int32_t> FinishedResults() const;
    std::thread::id FinishedThread() const;
    std::string LogText() const;
    std::vector<std::vector<double>> ProgressReports() const;

    // Behaviour the test chooses.
    bool confirmRunUpdates = true;
    std::function<bool(uint32_t, uint32_t)> confirmRunUpdate;
    std::function<void(int32_t)> onFinishedHook;  // runs inside OnFinished, on the worker
    std::function<void()> onProgressHook;

    // Blocking calls into the "UI" thread, the thread that made the host, as the launcher makes
    // them; uiWakes counts the calls handed over.
    std::atomic<int> uiWakes{0};
    launcher::UiThreadCalls uiThread{[this] { ++uiWakes; }};
    // The engine's state when the host was asked whether to run the downloaded updates.
    std::atomic<int32_t> stateWhenAskedToRun{0};

private:
    mutable std::mutex mutex_;
    std::vector<int32_t> finished_;
    std::thread::id finishedThread_;
    std::string log_;
    std::vector<std::vector<double>> progress_;
};

// On Windows: holds the system's one endpoint with an idle service for the process's life, so
// that the hosts never listen; Wine's runtime at times never returns from a listen that follows a
// stopped one in the same process. The service's own tests listen once per process.
void HoldUpdateServiceEndpoint();

}  // namespace tern_test
