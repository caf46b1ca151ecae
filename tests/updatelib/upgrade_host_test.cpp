#include "updatelib/host/upgrade_host.h"

#include <atomic>
#include <thread>

#include "tests/support/test_host.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/engine/update_engine.h"

namespace {

using platform::Hive;
using tern_test::kUpdateKey;
using tern_test::StoredPatch;
using tern_test::TestHost;

class UpgradeHostTest : public tern_test::IsolatedTest {
protected:
    tern_test::CapturedDiagnostics diagnostics_;
};

TEST_F(UpgradeHostTest, RunEndsWithExactlyOneOnFinishedOnTheWorker) {
    TestHost host;
    ASSERT_TRUE(host.Start("skyreach", kUpdateKey, "us"));
    host.WaitForThreads();
    EXPECT_EQ(host.FinishedResults(), std::vector<int32_t>{Tern::kUpdateOk});
    EXPECT_NE(host.FinishedThread(), std::this_thread::get_id());
    EXPECT_EQ(host.GetEngineState(), Tern::kFinish);
}

// Every report reaches the host, rewrites the resume record once a download path is known, and
// answers false once the host was asked to abort.
TEST_F(UpgradeHostTest, ReportsReachTheHostTheResumeRecordAndTheAbort) {
    TestHost host;
    host.Start("skyreach", kUpdateKey, "us");
    host.WaitForThreads();
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
    host->Start("skyreach", kUpdateKey, "us");
    while (host->uiThread.Waiting() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    host->Stop();
    host.reset();
    EXPECT_EQ(uiCalls.load(), 1);
}

TEST_F(UpgradeHostTest, PurgeStaleFilesDeletesFlaggedFilesLogsFailuresAndKeepsOtherRecords) {
    const std::string filesKey = kUpdateKey + "\\UpdateFiles";
    const char* const controls[] = {"D ", "D ", "E ", "R "};
    std::string paths[4];
    for (int i = 0; i < 4; ++i) {
        paths[i] = env_.TempDir() + "vex" + std::to_string(i) + ".exe";
        tern_test::WriteFileBytes(paths[i], "data");
        ASSERT_EQ(
            platform::WriteRegistryString(Hive::CurrentUser, filesKey, "Patch_" + std::to_string(i),
                                          controls[i] + paths[i]),
            0);
    }
    // A missing "lastinfo" differs from an existing "info": the started updates are stale.
    ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, kUpdateKey, "info", "id-2"), 0);
    Tern::UpdateStateStore store;
    store.Open(kUpdateKey);
    ASSERT_EQ(store.Records().size(), 4u);
    // A non-empty directory in place of a file cannot be deleted, even by root.
    std::remove(paths[1].c_str());
    tern_test::WriteFileBytes(paths[1] + "/inside", "x");

    std::ostringstream log;
    Tern::PurgeStaleFiles(store, log);

    EXPECT_EQ(log.str(), Tern::LibText("IDS_LIB_ERR_CANNOT_DELETE_FILE") + ": " + paths[1] + ".\n");
    EXPECT_FALSE(tern_test::FileExists(paths[0]));
    // The downloads to run or resume stay recorded, whatever the rest of the run does.
    for (int i = 0; i < 4; ++i) {
        const auto stored = platform::ReadRegistryText(Hive::CurrentUser, filesKey,
                                                       "Patch_" + std::to_string(i), 4096);
        EXPECT_EQ(stored, i < 2 ? std::nullopt : std::optional(controls[i] + paths[i])) << i;
    }
    ASSERT_EQ(store.Records().size(), 2u);
    EXPECT_EQ(store.Records()[0].path, paths[2]);
    EXPECT_EQ(store.Records()[1].path, paths[3]);
    EXPECT_TRUE(tern_test::FileExists(paths[2]) && tern_test::FileExists(paths[3]));
}

}  // namespace
