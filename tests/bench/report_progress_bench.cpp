// Progress reports through the real host implementation, the resume entry's registry write
// included: the hot path of every transfer.
#include <chrono>
#include <cstdio>

#include "tests/bench/bench_support.h"
#include "tests/support/isolated_env.h"

int main() {
    tern_test::IsolatedEnv env;
    tern_bench::QuietHost host;
    host.StartIdleRun();

    Tern::UpdateObserver& observer = host.Observer();
    observer.DownloadPath = env.TempDir() + "vexBENCH.tmp";
    constexpr int kReports = 100000;
    constexpr double kFileBytes = 256.0 * 1024 * 1024;
    double seconds;
    {
        tern_bench::QuietStderr quiet;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kReports; ++i) observer.ReportProgress(kFileBytes, i * 2048.0);
        seconds = tern_bench::SecondsSince(start);
    }
    host.Stop();
    std::printf("BENCH report_progress %.0f per_s\n", kReports / seconds);
    std::printf("  %d reports in %.3f s (%.2f us each)\n", kReports, seconds,
                seconds * 1e6 / kReports);
    return 0;
}
