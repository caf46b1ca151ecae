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

// Linux only: the Linux runtime's peers (ternctl, Samba's client) and an updater in another
// process.
namespace tern_test {
namespace {

using platform::rpc::StartResult;
using Tern::ServiceStartResult;

class UpdateServiceTest : public IsolatedTest {};

enum class Updater { Running, Finished, Unannounced, EventOnly, Malformed, Absent };

bool Matches(const std::string& actual, const std::string& expected) {
    if (!expected.empty() && expected.back() == '*') {
        return actual.compare(0, expected.size() - 1, expected, 0, expected.size() - 1) == 0;
    }
    return actual == expected;
}

// What ternctl, and Samba's DCE/RPC client calling every procedure, make of the service.
TEST_F(UpdateServiceTest, ClientsReportValuesAndFailures) {
    const std::string ternctl = TERN_TERNCTL;
    const std::string notRunning = "ternctl: no updater is running\n";
    const std::string usage = "usage: ternctl <command> *";  // '*': any rest
    const std::string texts = "url: " + kUrlAsSent + "\ndescription: Patch one\n";
    const std::string progress =
        "total: 500 of 2000 bytes (25%)\nfile: 50 of 100 bytes (50%)\nupdate: 1 of 2\n" + texts;
    const std::string rawProgress =
        "total bytes: 2000\ntotal received: 500\nfile bytes: 100\n"
        "file received: 50\nupdate count: 2\nupdate index: 1\n" +
        texts;
    const std::string watch =
        "\rupdate 1/2  file 50/100 (50%)  total 500/2000 (25%)  Patch one\033[K\n";
    const std::vector<std::string> samba{TERN_SYSTEM_PYTHON3, TERN_SAMBA_CLIENT_SCRIPT,
                                         env_.RuntimeDir()};
    const std::string sambaSaw = "state 4\nresult 3\nfigures 2000.0 500.0 100.0 50.0 2 1\nurl " +
                                 kUrlAsSent + "\ndescription Patch one\nrest 0\nstop 0\n";
    const std::string malformed = "ternctl: protocol error: the service's answer is malformed\n";
    struct Case {
        std::vector<std::string> argv;
        Updater updater;
        int exitCode;
        std::string standardOutput;
        std::string standardError;
        int stopRequests = 0;
    };
    const Case cases[] = {
        {samba, Updater::Running, 0, sambaSaw, "", 1},
        {{ternctl, "state"}, Updater::Running, 0, "4 downloading updates\n", ""},
        {{ternctl, "state", "--raw"}, Updater::Finished, 0, "5\n", ""},
        {{ternctl, "result"}, Updater::Running, 3, "running: downloading updates\n", ""},
        {{ternctl, "result", "--raw"}, Updater::Running, 3, "3\n", ""},
        {{ternctl, "result"}, Updater::Finished, 0, "3 failed\n", ""},
        {{ternctl, "progress"}, Updater::Running, 0, progress, ""},
        {{ternctl, "progress", "--raw"}, Updater::Running, 0, rawProgress, ""},
        {{ternctl, "progress", "--watch"}, Updater::Finished, 0, watch, ""},
        {{ternctl, "stop"}, Updater::Running, 0, "", "", 1},
        {{ternctl, "state"}, Updater::Absent, 1, "", notRunning},
        {{ternctl, "progress", "--watch"}, Updater::Absent, 1, "", notRunning},
        {{ternctl, "stop"}, Updater::EventOnly, 1, "", notRunning},
        {{ternctl, "state"}, Updater::Unannounced, 1, "", notRunning},
        {{ternctl, "result"}, Updater::Malformed, 2, "", malformed},
        {{ternctl, "--help"}, Updater::Absent, 0, usage, ""},
        {{ternctl, "frobnicate"}, Updater::Running, 2, "", usage},
        {{ternctl, "state", "extra"}, Updater::Running, 2, "", usage},
        {{ternctl}, Updater::Running, 2, "", usage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.argv));
        FakeProvider provider;
        provider.state = c.updater == Updater::Finished ? 5 : 4;
        std::optional<UpdateService> service;
        platform::rpc::RpcServer wrongServer;
        platform::NamedEvent syncEvent;
        if (c.updater <= Updater::Unannounced) {
            ASSERT_EQ(service.emplace(provider).Start(), ServiceStartResult::Started);
        }
        if (c.updater == Updater::Malformed) {
            ASSERT_EQ(wrongServer.Start(Tern::kUpdateServiceEndpoint, Tern::kUpdateServiceInterface,
                                        [](uint16_t, const std::string&) {
                                            return platform::rpc::DispatchResult::Reply("");
                                        }),
                      StartResult::Started);
        }
        if (c.updater != Updater::Absent && c.updater != Updater::Unannounced) {
            ASSERT_TRUE(syncEvent.Create(Tern::kUpdateServiceSyncEvent, true));
        }
        const ChildResult child = RunChild(c.argv);
        EXPECT_EQ(child.exitCode, c.exitCode);
        EXPECT_PRED2(Matches, child.standardOutput, c.standardOutput);
        EXPECT_PRED2(Matches, child.standardError, c.standardError);
        EXPECT_EQ(provider.stopRequests, c.stopRequests);
    }
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
