#include "updatelib/host/upgrade_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/registry/registry.h"
#include "platform/registry/registry_values.h"
#include "tests/support/isolated_env.h"
#include "tests/support/test_host.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/engine/update_engine.h"
#include "updatelib/state/update_state_store.h"

namespace {

using platform::Hive;
using tern_test::TestHost;

const std::string kKeyPath = "Software\\Norland\\Skyreach\\GameUpdate";
const std::string kFilesKeyPath = kKeyPath + "\\UpdateFiles";

std::optional<std::string> FilesValue(const std::string& name) {
    return platform::ReadRegistryText(Hive::CurrentUser, kFilesKeyPath, name, 4096);
}

class UpgradeHostTest : public tern_test::IsolatedTest {
protected:
    UpgradeHostTest() { Tern::LibraryChannel().SetDiagnosticStream(&diagnostics_); }
    ~UpgradeHostTest() override { Tern::LibraryChannel().SetDiagnosticStream(&std::cerr); }

    std::ostringstream diagnostics_;
};

TEST_F(UpgradeHostTest, RunEndsWithExactlyOneOnFinishedOnTheWorker) {
    TestHost host;
    ASSERT_TRUE(host.Start("skyreach", kKeyPath, "us"));
    ASSERT_TRUE(host.WaitForFinish());
    host.WaitForThreads();
    EXPECT_EQ(host.FinishedResults(), std::vector<int32_t>{Tern::kUpdateOk});
    EXPECT_NE(host.FinishedThread(), std::this_thread::get_id());
    EXPECT_EQ(host.GetEngineState(), Tern::kFinish);
    EXPECT_EQ(Tern::CurrentHost(), &host);
    host.Stop();
    host.Stop();
}

TEST_F(UpgradeHostTest, ProgressAdoptsTheFirstFileSizeAndAddsCompletedBytes) {
    TestHost host;
    Tern::UpdateObserver& observer = host.Observer();
    EXPECT_TRUE(observer.ReportProgress(1000.0, 100.0));
    EXPECT_EQ(observer.TotalBytes, 1000.0);
    observer.SetCompletedBytes(1000.0);
    EXPECT_TRUE(observer.ReportProgress(500.0, 50.0));
    const auto reports = host.ProgressReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0], (std::vector<double>{1000.0, 100.0, 1000.0, 100.0}));
    EXPECT_EQ(reports[1], (std::vector<double>{1000.0, 1050.0, 500.0, 50.0}));

    double figures[4];
    uint32_t count, index;
    std::string url, description;
    host.GetProgress(figures[0], figures[1], figures[2], figures[3], count, index, url,
                     description);
    EXPECT_EQ(std::vector<double>(figures, figures + 4), reports[1]);
    EXPECT_NE(diagnostics_.str().find(
                  "Downloaded 1050/1000 bytes (105%) -- this file 50/500 bytes (10%)\n"),
              std::string::npos);
}

TEST_F(UpgradeHostTest, AbortMakesTheNextReportAnswerFalse) {
    TestHost host;
    host.Abort();
    EXPECT_FALSE(host.Observer().ReportProgress(10.0, 1.0));
    EXPECT_EQ(host.ProgressReports().size(), 1u);  // the host still hears of the report
}

TEST_F(UpgradeHostTest, ProgressRecordsTheResumeEntryOnlyWithADownloadPath) {
    TestHost host;
    host.Start("skyreach", kKeyPath, "us");
    ASSERT_TRUE(host.WaitForFinish());

    Tern::UpdateObserver& observer = host.Observer();
    observer.ReportProgress(10.0, 5.0);
    EXPECT_FALSE(FilesValue("Patch"));
    observer.DownloadPath = "/tmp/vexA1.tmp";
    observer.ReportProgress(10.0, 6.0);
    EXPECT_EQ(FilesValue("Patch"), "R /tmp/vexA1.tmp");
}

TEST_F(UpgradeHostTest, DownloadStartAndConfirmationFillTheSnapshot) {
    TestHost host;
    host.confirmRunUpdate = [](uint32_t, uint32_t index) { return index == 2; };
    host.Observer().OnDownloadStarted("http://mirror/patch.exe", "New game update", 3, 1);
    EXPECT_FALSE(host.Observer().ConfirmRunUpdate(3, 1));
    EXPECT_TRUE(host.Observer().ConfirmRunUpdate(3, 2));

    double figures[4];
    uint32_t count, index;
    std::string url, description;
    host.GetProgress(figures[0], figures[1], figures[2], figures[3], count, index, url,
                     description);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(url, "http://mirror/patch.exe");
    EXPECT_EQ(description, "New game update");
    EXPECT_EQ(host.DownloadsStarted(),
              std::vector<std::string>{"http://mirror/patch.exe | New game update | 3/1"});
}

TEST_F(UpgradeHostTest, TechnicalLogReachesTheHostAndTheDiagnosticStream) {
    TestHost host;
    host.Log() << "first " << 1 << std::endl;
    host.Observer().Log() << "second" << std::endl;
    EXPECT_EQ(host.LogText(), "first 1\nsecond\n");
    EXPECT_EQ(diagnostics_.str(), "first 1\nsecond\n");
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
    host->Start("skyreach", kKeyPath, "us");
    while (host->uiThread.Waiting() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    host->Stop();
    host.reset();
    EXPECT_EQ(uiCalls.load(), 1);
}

class PurgeStaleFilesTest : public tern_test::IsolatedTest {
protected:
    std::string MakeFile(const std::string& name) {
        const std::string path = env_.TempDir() + name;
        tern_test::WriteFileBytes(path, "data");
        return path;
    }
    void StoreEntry(const std::string& name, const std::string& data) {
        ASSERT_EQ(platform::WriteRegistryString(Hive::CurrentUser, kFilesKeyPath, name, data), 0);
    }
};

TEST_F(PurgeStaleFilesTest, DeletesFlaggedFilesLogsFailuresAndKeepsOtherRecords) {
    const std::string started = MakeFile("vexstarted.exe");
    const std::string stuck = MakeFile("vexstuck.exe");
    const std::string ready = MakeFile("vexready.exe");
    const std::string partial = MakeFile("vexpartial.exe");
    StoreEntry("Patch_a", "D " + started);
    StoreEntry("Patch_b", "D " + stuck);
    StoreEntry("Patch_c", "E " + ready);
    StoreEntry("Patch", "R " + partial);
    // A missing "lastinfo" differs from an existing "info": the started updates are stale.
    ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, kKeyPath, "info", "id-2"), 0);

    Tern::UpdateStateStore store;
    store.Open(kKeyPath);
    ASSERT_EQ(store.Records().size(), 4u);
    // A non-empty directory in place of the file cannot be deleted, even by root.
    std::remove(stuck.c_str());
    tern_test::WriteFileBytes(stuck + "/inside", "x");

    std::ostringstream log;
    Tern::PurgeStaleFiles(store, log);

    EXPECT_FALSE(tern_test::FileExists(started));
    EXPECT_TRUE(tern_test::FileExists(ready));
    EXPECT_TRUE(tern_test::FileExists(partial));
    EXPECT_EQ(log.str(), Tern::LibText("IDS_LIB_ERR_CANNOT_DELETE_FILE") + ": " + stuck + ".\n");
    // The downloads to run or resume stay recorded, whatever the rest of the run does.
    EXPECT_FALSE(FilesValue("Patch_a") || FilesValue("Patch_b"));
    EXPECT_EQ(FilesValue("Patch_c"), "E " + ready);
    EXPECT_EQ(FilesValue("Patch"), "R " + partial);
    ASSERT_EQ(store.Records().size(), 2u);
    EXPECT_EQ(store.Records()[0].path, ready);
    EXPECT_EQ(store.Records()[1].path, partial);
}

}  // namespace
