// GetUpdateProgress through the local update service: 8 client threads, each with its own
// connection, against a live update host, for a fixed time.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "tests/bench/bench_support.h"
#include "tests/support/isolated_env.h"
#include "updatelib/service/update_service_client.h"

namespace {

constexpr int kClients = 8;
constexpr std::chrono::milliseconds kWarmUp{300};
constexpr std::chrono::seconds kMeasured{2};

}  // namespace

// The host of a run that ended at once (no update service reachable), with a snapshot as in the
// middle of a patch download.
int main() {
    tern_test::IsolatedEnv env;
    tern_bench::QuietHost host;
    {
        tern_bench::QuietStderr quiet;
        setenv("http_proxy", "http://127.0.0.1:1", 1);
        host.Start("bench", "Software\\Norland\\Skyreach\\GameUpdate", "us", "Skyreach");
        while (host.GetEngineState() != 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        host.Observer().OnDownloadStarted("http://mirror.norland.example/skyreach/patch_1_0_4.exe",
                                          "Skyreach 1.0.4", 1, 1);
        host.Observer().ReportProgress(268435456.0, 100663296.0);
    }
    std::atomic<bool> measuring{false};
    std::atomic<bool> done{false};
    std::atomic<long> calls{0};
    std::atomic<long> failures{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            Tern::UpdateServiceClient client;
            long counted = 0;
            while (!done) {
                if (!client.Progress()) ++failures;
                if (measuring) ++counted;
            }
            calls += counted;
        });
    }
    std::this_thread::sleep_for(kWarmUp);
    measuring = true;
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kMeasured);
    measuring = false;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    for (std::thread& client : clients) client.join();
    if (failures != 0) {
        std::fprintf(stderr, "bench_rpc: %ld calls failed\n", failures.load());
        return 1;
    }
    std::printf("BENCH rpc_progress_calls %.0f per_s\n", calls / seconds);
    std::printf("  %ld GetUpdateProgress calls from %d clients in %.2f s\n", calls.load(), kClients,
                seconds);
    return 0;
}
