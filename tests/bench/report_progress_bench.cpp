// Progress reports through the real host implementation, the resume entry's registry write
// included: the hot path of every transfer.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "tests/support/isolated_env.h"
#include "updatelib/host/debugger_stream.h"
#include "updatelib/host/diagnostic_channel.h"
#include "updatelib/host/upgrade_host.h"

namespace {

class QuietHost : public Tern::UpgradeHost {
public:
    void OnProgress(double, double, double, double) override {}
    bool ConfirmRunUpdates() override { return false; }
    void OnFinished(int32_t) override {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        signal_.notify_all();
    }
    void WaitForFinish() {
        std::unique_lock<std::mutex> lock(mutex_);
        signal_.wait(lock, [this] { return finished_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable signal_;
    bool finished_ = false;
};

}  // namespace

int main() {
    tern_test::IsolatedEnv env;
    setenv("http_proxy", "http://127.0.0.1:1", 1);  // no update service: the run ends at once
    Tern::LibraryChannel().SetDiagnosticStream(&Tern::GetDebuggerStream());

    QuietHost host;
    host.Start("bench", "Software\\Norland\\Skyreach\\GameUpdate", "us");
    host.WaitForFinish();
    host.WaitForWorker();

    // The diagnostic line of every report goes to standard error, as in the launcher.
    const int savedStderr = dup(STDERR_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDERR_FILENO);

    Tern::UpdateObserver& observer = host.Observer();
    observer.DownloadPath = env.TempDir() + "vexBENCH.tmp";
    constexpr int kReports = 100000;
    constexpr double kFileBytes = 256.0 * 1024 * 1024;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kReports; ++i) observer.ReportProgress(kFileBytes, i * 2048.0);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    dup2(savedStderr, STDERR_FILENO);
    close(devNull);
    close(savedStderr);
    host.Stop();
    std::printf("BENCH report_progress %.0f per_s\n", kReports / elapsed.count());
    std::printf("  %d reports in %.3f s (%.2f us each)\n", kReports, elapsed.count(),
                elapsed.count() * 1e6 / kReports);
    return 0;
}
