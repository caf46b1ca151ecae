// Shared pieces of the benchmarks: a scratch directory, large files, timing, child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "updatelib/host/upgrade_host.h"

namespace tern_bench {

// A host that shows nothing. Start() runs an update against an unreachable service, so the
// run ends at once and the host's implementation is ready to take transfers' progress.
class QuietHost : public Tern::UpgradeHost {
public:
    void OnProgress(double, double, double, double) override {}
    bool ConfirmRunUpdates() override { return false; }
    void OnFinished(int32_t) override;

    // Starts and finishes a run; diagnostics go to the debugger output, as in the launcher.
    void StartIdleRun();

private:
    std::mutex mutex_;
    std::condition_variable signal_;
    bool finished_ = false;
};

// Sends standard error to /dev/null while it lives: the diagnostic line of every progress
// report goes there, as it does in a launcher started without a terminal.
class QuietStderr {
public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_;
};

// Writes `bytes` of varied content to `path`.
void WriteLargeFile(const std::string& path, size_t bytes);

// Runs `arguments` (argv[0] is the program path) with standard output and error discarded;
// returns the exit status, or -1 when it could not run.
int RunQuietly(const std::vector<std::string>& arguments);

// Starts `arguments` in the background with output discarded; -1 when it could not start.
pid_t StartQuietly(const std::vector<std::string>& arguments);
void StopProcess(pid_t pid);

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();
// Waits until something accepts connections on the port; false after `limit`.
bool WaitForPort(int port, std::chrono::seconds limit);

double SecondsSince(std::chrono::steady_clock::time_point start);

// The median of the figures (sorted copy).
double Median(std::vector<double> figures);

}  // namespace tern_bench
