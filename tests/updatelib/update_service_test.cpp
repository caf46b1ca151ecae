#include "updatelib/service/update_service.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/named_event.h"
#include "platform/rpc/rpc_server.h"
#include "tests/launcher/child_run.h"
#include "tests/support/isolated_env.h"
#include "updatelib/service/update_service_client.h"

namespace {

using platform::rpc::DispatchResult;
using platform::rpc::RpcServer;
using platform::rpc::StartResult;
using Tern::ProgressSnapshot;
using Tern::UpdateService;

const std::string kLongUrl = "http://mirror.example/patches/" + std::string(70, 'p');
const std::string kUrlAsSent = kLongUrl.substr(0, 64);

class FakeProvider : public Tern::UpdateServiceProvider {
public:
    int32_t GetUpdateState() const override { return state; }
    int32_t GetUpdateResult() const override { return 3; }
    ProgressSnapshot GetUpdateProgress() const override {
        return {2000, 500, 100, 50, 2, 1, kLongUrl, "Patch one"};
    }
    void RequestUpdateStop() override { ++stopRequests; }

    std::atomic<int32_t> state{4};
    std::atomic<int> stopRequests{0};
};

class UpdateServiceTest : public tern_test::IsolatedTest {
protected:
    // The service with its sync event, as a running updater has them.
    void Announce(UpdateService& service) {
        ASSERT_EQ(service.Start(), StartResult::Started);
        ASSERT_TRUE(syncEvent_.Create(Tern::kUpdateServiceSyncEvent, true));
    }

    FakeProvider provider_;
    platform::NamedEvent syncEvent_;
};

TEST_F(UpdateServiceTest, SambasClientReadsEveryProcedure) {
    UpdateService service(provider_);
    Announce(service);
    const tern_test::ChildOutput python = tern_test::RunChild(
        TERN_SYSTEM_PYTHON3, {TERN_SAMBA_CLIENT_SCRIPT, env_.RuntimeDir()}, {}, env_.Root());
    EXPECT_EQ(python.standardError, "");
    EXPECT_EQ(python.standardOutput,
              "state 4\n"
              "result 3\n"
              "figures 2000.0 500.0 100.0 50.0 2 1\n"
              "url " +
                  kUrlAsSent +
                  "\n"
                  "description Patch one\n"
                  "rest 0\n"
                  "stop 0\n");
    EXPECT_EQ(provider_.stopRequests, 1);
}

// A client keeps its connection; when the service behind it was replaced, it connects anew.
TEST_F(UpdateServiceTest, ClientReconnectsToARestartedService) {
    Tern::UpdateServiceClient client;
    EXPECT_EQ(client.State().Error().error, Tern::ServiceError::NotRunning);
    std::optional<UpdateService> service(std::in_place, provider_);
    Announce(*service);
    EXPECT_EQ(client.State().Value(), 4);
    service.reset();
    provider_.state = 5;
    service.emplace(provider_);
    ASSERT_EQ(service->Start(), StartResult::Started);
    EXPECT_EQ(client.State().Value(), 5);
}

enum class Updater { Running, Finished, Absent, EventOnly, Unannounced, Malformed };

struct TernctlCase {
    std::vector<std::string> arguments;
    Updater updater;
    int exitCode;
    std::string standardOutput;  // a trailing '*' matches any rest
    std::string standardError;
    int stopRequests = 0;
};

bool Matches(const std::string& actual, const std::string& expected) {
    if (!expected.empty() && expected.back() == '*') {
        return actual.compare(0, expected.size() - 1, expected, 0, expected.size() - 1) == 0;
    }
    return actual == expected;
}

TEST_F(UpdateServiceTest, TernctlReportsValuesAndFailures) {
    const std::string notRunning = "ternctl: no updater is running\n";
    const std::vector<TernctlCase> cases = {
        {{"state"}, Updater::Running, 0, "4\n", ""},
        {{"result"}, Updater::Running, 0, "3\n", ""},
        {{"progress"},
         Updater::Running,
         0,
         "total bytes: 2000\ntotal received: 500\nfile bytes: 100\nfile received: 50\n"
         "update count: 2\nupdate index: 1\nurl: " +
             kUrlAsSent + "\ndescription: Patch one\n",
         ""},
        {{"progress", "--watch"},
         Updater::Finished,
         0,
         "\rupdate 1/2  file 50/100 (50%)  total 500/2000 (25%)  Patch one\033[K\n",
         ""},
        {{"stop"}, Updater::Running, 0, "", "", 1},
        {{"state"}, Updater::Absent, 1, "", notRunning},
        {{"progress", "--watch"}, Updater::Absent, 1, "", notRunning},
        {{"stop"}, Updater::EventOnly, 1, "", notRunning},
        {{"state"}, Updater::Unannounced, 1, "", notRunning},
        {{"result"},
         Updater::Malformed,
         2,
         "",
         "ternctl: protocol error: the service's answer is malformed\n"},
        {{"--help"}, Updater::Absent, 0, "usage: ternctl <command>\n*", ""},
        {{"frobnicate"}, Updater::Running, 2, "", "usage: ternctl <command>\n*"},
        {{"state", "extra"}, Updater::Running, 2, "", "usage: ternctl <command>\n*"},
        {{}, Updater::Running, 2, "", "usage: ternctl <command>\n*"},
    };
    for (const TernctlCase& row : cases) {
        SCOPED_TRACE(::testing::PrintToString(row.arguments));
        FakeProvider provider;
        provider.state = row.updater == Updater::Finished ? 5 : 4;
        std::optional<UpdateService> service;
        RpcServer malformed;
        platform::NamedEvent syncEvent;
        if (row.updater == Updater::Running || row.updater == Updater::Finished ||
            row.updater == Updater::Unannounced) {
            ASSERT_EQ(service.emplace(provider).Start(), StartResult::Started);
        }
        if (row.updater == Updater::Malformed) {
            ASSERT_EQ(malformed.Start(
                          Tern::kUpdateServiceEndpoint, Tern::kUpdateServiceInterface,
                          [](uint16_t, const std::string&) { return DispatchResult::Reply(""); }),
                      StartResult::Started);
        }
        if (row.updater != Updater::Absent && row.updater != Updater::Unannounced) {
            ASSERT_TRUE(syncEvent.Create(Tern::kUpdateServiceSyncEvent, true));
        }
        const tern_test::ChildOutput ternctl =
            tern_test::RunChild(TERN_TERNCTL, row.arguments, {}, env_.Root());
        EXPECT_EQ(ternctl.exitCode, row.exitCode);
        EXPECT_PRED2(Matches, ternctl.standardOutput, row.standardOutput);
        EXPECT_PRED2(Matches, ternctl.standardError, row.standardError);
        EXPECT_EQ(provider.stopRequests, row.stopRequests);
    }
}

}  // namespace
