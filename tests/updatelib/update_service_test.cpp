#include "updatelib/service/update_service.h"

#include <fcntl.h>
#include <sys/file.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/named_event.h"
#include "platform/posix/unique_fd.h"
#include "platform/rpc/rpc_server.h"
#include "tests/support/child_process.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/file_functions.h"
#include "updatelib/service/update_service_client.h"

class UpdateServiceContract : public tern_test::IsolatedTest {};

#include "tests/updatelib/update_service_contract_tests.inc"

// Linux only: the Linux runtime's own peers (Samba's client, a server of its own) and an updater
// in another process.
namespace tern_test {
namespace {

using platform::rpc::StartResult;

class UpdateServiceTest : public IsolatedTest {};

// Samba's DCE/RPC client calling every procedure, and ternctl before a server that answers wrongly.
TEST_F(UpdateServiceTest, SambaSeesTheServiceAndTernctlAMalformedAnswer) {
    const std::string sambaSaw = "state 4\nresult 3\nfigures 2000.0 500.0 100.0 50.0 2 1\nurl " +
                                 kUrlAsSent + "\ndescription Patch one\nrest 0\nstop 0\n";
    RunClientCase({{TERN_SYSTEM_PYTHON3, TERN_SAMBA_CLIENT_SCRIPT, env_.RuntimeDir()},
                   Updater::Running,
                   0,
                   sambaSaw,
                   "",
                   1});
    platform::rpc::RpcServer wrongServer;
    ASSERT_EQ(wrongServer.Start(Tern::kUpdateServiceEndpoint, Tern::kUpdateServiceInterface,
                                [](uint16_t, const std::string&) {
                                    return platform::rpc::DispatchResult::Reply("");
                                }),
              StartResult::Started);
    RunClientCase({{TERN_TERNCTL, "result"},
                   Updater::EventOnly,
                   2,
                   "",
                   "ternctl: protocol error: the service's answer is malformed\n"});
}

// A real updater in another process, seen through the client class: the state of the run's
// first step, the figures of the patch's transfer as they grow, two stops during the run that end
// it once, and a stop after the run that finishes the updater but leaves the run's result.
TEST_F(UpdateServiceTest, AClientFollowsARealUpdaterAndStopsIt) {
    HttpTestServer server(env_.Root() + "/server");
    ProxyEnvironment proxy(server);
    const std::string patchPath = "/patches/" + std::string(100 - 38, 'p');
    const std::string patchUrl = "http://mirror.norland.example" + patchPath;
    ASSERT_EQ(patchUrl.size(), 100u);
    server.Serve("/MatchMakingConfig.aspx", Answer("16000000", patchUrl, "1234"));
    server.Serve(patchPath, std::string(16000000, 'x'), Slow(16 * 1024, 20));
    // A started update waits to be cleaned up by the run's first step, which has to change the
    // hive: while this process holds the hive's lock, the run stays in that step.
    ASSERT_EQ(
        platform::WriteRegistryString(platform::Hive::CurrentUser, kUpdateKey + "\\UpdateFiles",
                                      "Old", "D " + Tern::MakeDownloadFile()),
        0);
    ASSERT_EQ(platform::WriteRegistryString(platform::Hive::LocalMachine, kUpdateKey, "info",
                                            "installed since"),
              0);
    const platform::UniqueFd lock(
        open((env_.ConfigHome() + "/tern/registry/user.reg.lock").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(flock(lock.Get(), LOCK_EX), 0);
    ChildProcess host({TERN_UPDATER_CHILD});
    EXPECT_EQ(host.ReadLine(), "started");
    Tern::UpdateServiceClient client;
    EXPECT_EQ(client.State().Value(), 1);
    EXPECT_EQ(client.Result().Value(), 0);
    const ProgressSnapshot before = client.Progress().Value();
    EXPECT_EQ(std::vector<double>(
                  {before.totalBytes, before.totalReceived, before.fileBytes, before.fileReceived}),
              std::vector<double>(4, 0.0));
    EXPECT_EQ(before.url + before.description, "");
    flock(lock.Get(), LOCK_UN);

    double seen = 0.0;
    int growth = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (growth < 2 && std::chrono::steady_clock::now() < deadline) {
        const auto progress = client.Progress();
        // The figures of the patch's own transfer: the answer's were first.
        if (progress && progress.Value().fileBytes == 16000000.0 &&
            progress.Value().fileReceived > seen) {
            EXPECT_EQ(progress.Value().url, patchUrl.substr(0, 64));
            EXPECT_EQ(std::make_pair(progress.Value().updateCount, progress.Value().updateIndex),
                      std::make_pair(1u, 1u));
            growth += seen > 0.0;
            seen = progress.Value().fileReceived;
        }
    }
    ASSERT_EQ(growth, 2) << "the figures did not grow";
    EXPECT_TRUE(client.RequestStop().HasValue());
    EXPECT_TRUE(client.RequestStop().HasValue());
    EXPECT_EQ(host.ReadLine(), "finished 5");
    EXPECT_TRUE(client.RequestStop().HasValue());
    EXPECT_EQ(host.ReadLine(), "finished 6");
    EXPECT_EQ(client.Result().Value(), 5);
    EXPECT_EQ(client.State().Value(), 5);

    // Calls go on while the updater stops.
    std::atomic<bool> stopped{false};
    std::thread caller([&] {
        Tern::UpdateServiceClient other;
        while (!stopped) other.Progress();
    });
    host.CloseInput();
    EXPECT_EQ(host.ReadAll(), "");
    EXPECT_EQ(host.Wait(), 0);
    stopped = true;
    caller.join();
}

}  // namespace
}  // namespace tern_test
