#include "updatelib/host/upgrade_host.h"

#include <atomic>
#include <thread>

#include "tests/support/test_host.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/engine/update_engine.h"
#include "updatelib/service/update_service_client.h"

namespace tern_test {
namespace {

class UpgradeHostTest : public IsolatedTest {
protected:
    CapturedDiagnostics diagnostics_;
};

// A run ends with exactly one OnFinished, made on the worker; a client's stop request that comes
// before that call returns finishes the host only after it. A second Start is refused. Every
// later report still reaches the host, rewrites the resume record once a download path is known,
// and answers false once the host was asked to abort.
TEST_F(UpgradeHostTest, ARunEndsOnceOnTheWorkerAndEveryReportReachesTheHost) {
    TestHost host;
    Tern::UpdateServiceClient client;
    host.onFinishedHook = [&](int32_t result) {
        if (result != Tern::kUpdateOk) return;
        host.uiThread.Call([] {});  // Start has returned: the service is announced
        EXPECT_TRUE(client.RequestStop().HasValue());
    };
    ASSERT_TRUE(host.Start("skyreach", kUpdateKey, "us", kProduct));
    EXPECT_FALSE(host.Start("skyreach", kUpdateKey, "us", kProduct));
    host.WaitForThreads([&] { host.uiThread.ServePending(); });
    EXPECT_EQ(host.FinishedResults(),
              (std::vector<int32_t>{Tern::kUpdateOk, Tern::kUpdateFinishRequested}));
    EXPECT_NE(host.FinishedThread(), std::this_thread::get_id());
    EXPECT_EQ(host.GetEngineState(), Tern::kFinish);

    const size_t runReports = host.ProgressReports().size();
    Tern::UpdateObserver& observer = host.Observer();
    observer.SetTotalBytes(0.0);
    EXPECT_TRUE(observer.ReportProgress(1000.0, 100.0));
    EXPECT_EQ(StoredPatch(), "");
    observer.SetCompletedBytes(1000.0);
    observer.DownloadPath = "/tmp/vexA1.tmp";
    EXPECT_TRUE(observer.ReportProgress(500.0, 50.0));
    EXPECT_EQ(StoredPatch(), "R /tmp/vexA1.tmp");
    observer.DownloadPath = "/tmp/vexB2.tmp";
    host.Abort();
    EXPECT_FALSE(observer.ReportProgress(500.0, 60.0));
    EXPECT_EQ(StoredPatch(), "R /tmp/vexB2.tmp");
    const auto reports = host.ProgressReports();
    EXPECT_EQ(std::vector<std::vector<double>>(reports.begin() + runReports, reports.end()),
              (std::vector<std::vector<double>>{
                  {1000, 100, 1000, 100}, {1000, 1050, 500, 50}, {1000, 1060, 500, 60}}));
}

// The technical log: one flush is one piece for the host, even an empty one, and every piece is
// copied to the diagnostic stream.
TEST_F(UpgradeHostTest, EveryFlushOfTheLogIsOnePieceForTheHostAndTheDiagnostics) {
    struct PieceHost : TestHost {
        void OnLogText(const std::string& text) override { pieces.push_back(text); }
        std::vector<std::string> pieces;
    } host;
    host.Log().flush();
    host.Log() << "first line\n"
               << "second " << 2 << std::endl;
    host.Observer().Log() << "third" << std::endl;
    EXPECT_EQ(host.pieces, (std::vector<std::string>{"", "first line\nsecond 2\n", "third\n"}));
    EXPECT_EQ(diagnostics_.str(), "first line\nsecond 2\nthird\n");
}

// The worker's last notification is a blocking call into the thread that destroys the host:
// the destruction must serve it instead of waiting forever.
TEST_F(UpgradeHostTest, DestroyingWhileOnFinishedWaitsForTheDestroyingThreadDoesNotDeadlock) {
    std::atomic<int> uiCalls{0};
    auto host = std::make_unique<TestHost>();
    host->onFinishedHook = [&](int32_t) {
        host->Stop();  // the launcher stops the host from inside OnFinished
        host->uiThread.Call([&] { ++uiCalls; });
    };
    host->Start("skyreach", kUpdateKey, "us", kProduct);
    while (host->uiWakes == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    host->Stop();
    host.reset();
    EXPECT_EQ(uiCalls.load(), 1);
}

TEST_F(UpgradeHostTest, PurgeStaleFilesDeletesFlaggedFilesLogsFailuresAndKeepsOtherRecords) {
    Tern::UpdateStateStore store;
    store.Open(kUpdateKey);
    const int32_t states[] = {Tern::FlaggedForDeletion, Tern::FlaggedForDeletion,
                              Tern::FlaggedForExecution, Tern::PartialDownload};
    std::string paths[4];
    for (int i = 0; i < 4; ++i) {
        paths[i] = env_.TempDir() + "vex" + std::to_string(i) + ".exe";
        WriteFileBytes(paths[i], "data");
        store.Store(Tern::TargetId("Patch", "all", std::to_string(i)), paths[i], states[i]);
    }
    // A non-empty directory in place of a file cannot be deleted, even by root.
    std::remove(paths[1].c_str());
    WriteFileBytes(paths[1] + "/inside", "x");

    std::ostringstream log;
    Tern::PurgeStaleFiles(store, log);

    EXPECT_EQ(log.str(), Tern::LibText("IDS_LIB_ERR_CANNOT_DELETE_FILE") + ": " + paths[1] + ".\n");
    EXPECT_FALSE(FileExists(paths[0]));
    // The downloads to run or resume stay recorded, whatever the rest of the run does.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(
            platform::ReadRegistryText(platform::Hive::CurrentUser, kUpdateKey + "\\UpdateFiles",
                                       "Patch_" + std::to_string(i), 4096),
            i < 2 ? std::nullopt : std::optional((i == 2 ? "E " : "R ") + paths[i]));
    }
    ASSERT_EQ(store.Records().size(), 2u);
    EXPECT_EQ(store.Records()[0].path + store.Records()[1].path, paths[2] + paths[3]);
    EXPECT_TRUE(FileExists(paths[2]) && FileExists(paths[3]));
}

}  // namespace
}  // namespace tern_test
