// GetUpdateProgress through the local update service: 8 client threads, each with its own
// connection, against one live server, for a fixed time.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/named_event.h"
#include "tests/support/isolated_env.h"
#include "updatelib/service/update_service.h"
#include "updatelib/service/update_service_client.h"

namespace {

constexpr int kClients = 8;
constexpr std::chrono::milliseconds kWarmUp{300};
constexpr std::chrono::seconds kMeasured{2};

// A snapshot in the middle of a patch download.
class DownloadingProvider : public Tern::UpdateServiceProvider {
public:
    int32_t GetUpdateState() const override { return 4; }
    int32_t GetUpdateResult() const override { return 0; }
    Tern::ProgressSnapshot GetUpdateProgress() const override {
        return {268435456.0,
                100663296.0,
                268435456.0,
                100663296.0,
                1,
                1,
                "http://mirror.norland.example/skyreach/patch_1_0_4.exe",
                "Skyreach 1.0.4"};
    }
    void RequestUpdateStop() override {}
};

}  // namespace

int main() {
    tern_test::IsolatedEnv env;
    DownloadingProvider provider;
    Tern::UpdateService service(provider);
    platform::NamedEvent syncEvent;
    if (service.Start() != platform::rpc::StartResult::Started ||
        !syncEvent.Create(Tern::kUpdateServiceSyncEvent, true)) {
        std::fprintf(stderr, "bench_rpc: the service did not start\n");
        return 1;
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
