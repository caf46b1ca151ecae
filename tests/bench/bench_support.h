// Shared pieces of the benchmarks: a scratch directory, large files, timing, child processes.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "updatelib/host/upgrade_host.h"

namespace tern_bench {

// A host that shows nothing and never runs downloaded updates. A host starts one run only.
class QuietHost : public Tern::UpgradeHost {
public:
    void OnProgress(double, double, double, double) override {}
    bool ConfirmRunUpdates() override;
    void OnFinished(int32_t) override;

    // Runs an update for `gameId`, its state under the user's `registryKeyPath`, and returns
    // when the worker has ended; diagnostics go to the debugger output, as in the launcher.
    void RunUpdate(const std::string& gameId, const std::string& registryKeyPath);
    // Runs an update against an unreachable service, so the run ends at once and the host's
    // implementation is ready to take transfers' progress.
    void StartIdleRun();

    // How often the run asked whether to run downloaded updates.
    int RunQuestions() const { return runQuestions_; }

private:
    std::mutex mutex_;
    std::condition_variable signal_;
    bool finished_ = false;
    std::atomic<int> runQuestions_{0};
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

// nginx on 127.0.0.1, on a free port, serving the files below `root`, with its configuration,
// logs and temporary files below `prefix` (created when missing). `serverDirectives` go into
// the server block as they are, e.g. a location with a fixed answer. Stopped when destroyed.
class LocalNginx {
public:
    LocalNginx(const std::string& prefix, const std::string& root,
               const std::string& serverDirectives = "");
    ~LocalNginx();
    LocalNginx(const LocalNginx&) = delete;
    LocalNginx& operator=(const LocalNginx&) = delete;

    // Starts the server and waits until it accepts connections; false, with a diagnostic line
    // on standard error, when it did not come up.
    bool Start();
    int Port() const { return port_; }

private:
    std::string prefix_;
    std::string root_;
    std::string serverDirectives_;
    int port_;
    pid_t pid_ = -1;
};

// Sends every HTTP request of this process and its children through the proxy on 127.0.0.1
// at `port`, loopback addresses included.
void UseLoopbackProxy(int port);

// The launcher's installation in the machine hive of the current environment: the game id
// `gameId` and the game language "english". False when a value could not be written.
bool WriteLauncherInstallation(const std::string& gameId);

double SecondsSince(std::chrono::steady_clock::time_point start);

// The median of the figures (sorted copy).
double Median(std::vector<double> figures);
// The figures in their order, separated by blanks, each with `decimals` decimals.
std::string FigureList(const std::vector<double>& figures, int decimals);

}  // namespace tern_bench
