// Whole update runs through a test host against a local HTTP server.
#include <filesystem>
#include <thread>

#include "platform/test_seams.h"
#include "tests/support/child_process.h"
#include "tests/support/test_host.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/file_functions.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/transfer/transfer_limits.h"

namespace {

using tern_test::Answer;
using tern_test::Contains;
using tern_test::ReadFileBytes;
using tern_test::Route;
using tern_test::RouteOptions;
using tern_test::StoredPatch;
using tern_test::TestHost;

const std::string kInfoPath = "/MatchMakingConfig.aspx";
const std::string kPatchPath = "/patches/skyreach_patch.exe";
const std::string kPatchUrl = "http://mirror.norland.example" + kPatchPath;

std::string Line(const char* key) { return Tern::LibText(key) + "\n"; }

class UpdateRunTest : public tern_test::IsolatedTest {
protected:
    ~UpdateRunTest() override {
        platform::testing::OverrideAvailableDiskSpace(std::nullopt);
        Tern::testing::RestoreTransferTimeouts();
    }

    void ServePatch(const RouteOptions& options = {}) {
        server_.Serve(kPatchPath, payload_, options);
    }
    void AnnouncePatch(const RouteOptions& options = {}) {
        server_.Serve(kInfoPath, Answer(std::to_string(payload_.size()), kPatchUrl, crc_), options);
    }

    // Runs one update to its end and returns the host for inspection.
    std::unique_ptr<TestHost> Run(const std::function<void(TestHost&)>& prepare = {}) {
        auto host = std::make_unique<TestHost>();
        host->confirmRunUpdates = false;
        if (prepare) prepare(*host);
        host->Start("skyreach-eu", tern_test::kUpdateKey, "us");
        EXPECT_TRUE(host->WaitForFinish());
        host->WaitForThreads();
        return host;
    }

    static int32_t Result(const TestHost& host) { return host.FinishedResults().at(0); }
    static bool NoTempFiles() { return std::filesystem::is_empty(Tern::GetTempDirectory()); }
    std::vector<std::string> PatchRanges() const {
        std::vector<std::string> ranges;
        for (const auto& request : server_.Requests()) {
            if (request.path == kPatchPath) ranges.push_back(request.range);
        }
        return ranges;
    }

    tern_test::CapturedDiagnostics diagnostics_;
    tern_test::HttpTestServer server_{env_.Root() + "/server"};
    tern_test::ProxyEnvironment proxy_{server_};
    const std::string payload_ = tern_test::RandomBytes(300 * 1024);
    const std::string crc_ = tern_test::ChecksumTextOf(payload_);
};

TEST_F(UpdateRunTest, APatchIsDownloadedVerifiedAndFlaggedForExecution) {
    AnnouncePatch();
    ServePatch();
    auto host = Run();
    EXPECT_EQ(Result(*host), Tern::kUpdateOk);
    EXPECT_EQ(host->stateWhenAskedToRun, 6);
    const std::string path = StoredPatch("E ");  // declined: it stays flagged
    EXPECT_EQ(ReadFileBytes(path), payload_);
    EXPECT_TRUE(Tern::IsDownloadFile(path)) << path;
    EXPECT_EQ(platform::ReadRegistryText(platform::Hive::CurrentUser, tern_test::kUpdateKey,
                                         "previousCRC", 256),
              crc_);
    const double size = static_cast<double>(payload_.size());
    ASSERT_FALSE(host->ProgressReports().empty());
    EXPECT_EQ(host->ProgressReports().back(), (std::vector<double>{size, size, size, size}));
    EXPECT_EQ(server_.Requests().at(0).target,
              "http://updates.norland.example/MatchMakingConfig.aspx?action=g_guc&gid=skyreach-eu"
              "&locale=en-US");

    // The next run finds the stored download ready and does not fetch it again.
    auto second = Run();
    EXPECT_EQ(Result(*second), Tern::kUpdateOk);
    EXPECT_EQ(PatchRanges().size(), 1u);
    EXPECT_TRUE(Contains(second->LogText(), Tern::LibText("IDS_LIB_MSG_FLAGGED_EXECUTION") + "(" +
                                                path + ", (Patch, all, all))\n"));
    EXPECT_EQ(StoredPatch("E "), path);
}

// The answer travels over plain HTTP: whatever it holds, the run ends with a clear result, no
// crash, no file left behind and nothing fetched that is not an HTTP patch of the announced size.
TEST_F(UpdateRunTest, UnusableAndHostileAnswersEndTheRunCleanly) {
    const std::string size = std::to_string(payload_.size());
    const std::string local = env_.Root() + "/local_copy";
    tern_test::WriteFileBytes(local, payload_);
    std::string deep = "<RESPONSE>";
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    const std::string padding = "<!--" + std::string(70 * 1024, 'x') + "-->";
    const char* const kFormat = "IDS_LIB_ERR_FILE_FORMAT";
    const char* const kParsing = "IDS_LIB_ERR_FILE_PARSING";
    const char* const kDownload = "IDS_LIB_ERR_FATAL_DOWNLOAD";
    const std::pair<std::string, const char*> cases[] = {
        // the answer, the log's reason
        {"<RESPONSE></RESPONSE>", nullptr},  // no update
        {"<RESPONSE>  \n\t </RESPONSE>", nullptr},
        {"this is not xml", kParsing},
        {"<ANSWER><PatchSize><VALUE>1</VALUE></PatchSize></ANSWER>", "IDS_LIB_ERR_FILE_TYPE"},
        {"<RESPONSE><!-- nothing --></RESPONSE>", kFormat},
        {Answer("0", kPatchUrl, crc_), kFormat},
        {Answer("abc", kPatchUrl, crc_), kFormat},
        {Answer("-5", kPatchUrl, crc_), kFormat},
        {Answer("2147483648", kPatchUrl, crc_), kFormat},
        {Answer("4294967295", kPatchUrl, crc_), kFormat},
        {Answer(size, "", crc_), kFormat},
        {Answer(size, kPatchUrl, ""), kFormat},
        {deep, kParsing},
        {padding + Answer(size, kPatchUrl, crc_), kParsing},
        {Answer(size, "file://" + local, crc_), kDownload},
        {Answer(size, "gopher://127.0.0.1:1/x", crc_), kDownload},
        {Answer(size, "dict://127.0.0.1:1/x", crc_), kDownload},
        {Answer(size, "ftp://mirror.norland.example/x", crc_), kDownload},
        {Answer(size, kPatchUrl, "deadbeef"), "IDS_LIB_ERR_CRC_NOT_MATCH"},
        {Answer("1000", kPatchUrl, crc_), kDownload},
    };
    ServePatch();
    for (const auto& [answer, reason] : cases) {
        SCOPED_TRACE(answer.substr(0, 120));
        server_.Serve(kInfoPath, answer);
        auto host = Run();
        EXPECT_EQ(host->FinishedResults(), std::vector<int32_t>{reason ? 3 : 0});
        EXPECT_TRUE(Contains(host->LogText(), reason ? Tern::LibText(reason) : ""));
        EXPECT_TRUE(NoTempFiles());
        EXPECT_EQ(StoredPatch("E "), "");
    }
    EXPECT_EQ(PatchRanges().size(), 2u);  // only the two HTTP patches were fetched
}

// Without a usable service the game must start at once, as if there were no update.
TEST_F(UpdateRunTest, UnreachableSlowAndFailingServices) {
    Tern::testing::OverrideTransferTimeouts({5, 60, 1});
    struct Case {
        const char* what;
        std::function<void()> prepare;
        bool failed;
    };
    const Case cases[] = {
        {"closed port", [] { setenv("http_proxy", "http://127.0.0.1:1", 1); }, false},
        {"trickling answer", [&] { AnnouncePatch(tern_test::Slow(1, 400)); }, false},
        {"stalled answer", [&] { AnnouncePatch(Route(&RouteOptions::stallAfter, 0)); }, false},
        {"HTTP error", [&] { server_.Fail(kInfoPath, 404); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setenv("http_proxy", server_.ProxyUrl().c_str(), 1);
        c.prepare();
        auto host = Run();
        EXPECT_EQ(host->FinishedResults(), std::vector<int32_t>{c.failed ? 3 : 0});
        EXPECT_TRUE(NoTempFiles());
        EXPECT_EQ(host->LogText().find(Line("IDS_LIB_ERR_CANNOT_CONTINUE")) != std::string::npos,
                  c.failed);
    }
    EXPECT_TRUE(PatchRanges().empty());
}

struct Interruption {
    const char* name;
    RouteOptions route;
    bool abort = false;  // by the player
    bool kill = false;   // of the launcher's process
};

class InterruptedDownloadTest : public UpdateRunTest,
                                public ::testing::WithParamInterface<Interruption> {
protected:
    void Interrupt(const Interruption& how) {
        ServePatch(how.route);
        Tern::testing::OverrideTransferTimeouts({5, 1, 15});  // a stall ends within a second
        if (how.kill) {
            tern_test::ChildProcess updater({TERN_UPDATER_CHILD});
            for (int i = 0; i < 10000 && ReadFileBytes(StoredPatch("R ")).size() < 32768; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            return;
        }
        auto host = Run([&](TestHost& h) {
            if (!how.abort) return;
            h.onProgressHook = [&h] {
                const auto reports = h.ProgressReports();
                if (!reports.empty() && reports.back()[3] > 64 * 1024) h.Abort();
            };
        });
        EXPECT_EQ(Result(*host), how.abort ? Tern::kUpdateUserAborted : Tern::kUpdateIncomplete);
        EXPECT_TRUE(Contains(host->LogText(),
                             Line(how.abort ? "IDS_LIB_ERR_USER_ABORT" : "IDS_LIB_ERR_PARTIALLY")));
    }
};

// A partial download is never lost: not by the interruption, not by a start without network in
// between, not by a disk that has room only for the rest. The temporary directory is deeper than
// the desktop's path limit.
TEST_P(InterruptedDownloadTest, TheNextRunResumesItByteIdentical) {
    setenv("TMPDIR", tern_test::LongDirectory(env_.Root(), 240).c_str(), 1);
    AnnouncePatch();
    Interrupt(GetParam());
    Tern::testing::RestoreTransferTimeouts();
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());
    const size_t kept = ReadFileBytes(partial).size();
    ASSERT_LT(kept, payload_.size());

    setenv("http_proxy", "http://127.0.0.1:1", 1);
    Run();
    EXPECT_EQ(StoredPatch("R "), partial) << "an offline start keeps the record";

    setenv("http_proxy", server_.ProxyUrl().c_str(), 1);
    platform::testing::OverrideAvailableDiskSpace(payload_.size() - kept);
    ServePatch();
    auto resumed = Run();
    EXPECT_EQ(Result(*resumed), Tern::kUpdateOk) << resumed->LogText();
    EXPECT_TRUE(Contains(resumed->LogText(), Tern::LibText("IDS_LIB_MSG_ATTEMPTING_RESUME") + "(" +
                                                 partial + ", (Patch, all, all))\n"));
    EXPECT_EQ(PatchRanges().back(), kept ? "bytes=" + std::to_string(kept) + "-" : "");
    EXPECT_EQ(StoredPatch("E "), partial);
    EXPECT_EQ(ReadFileBytes(partial), payload_);
}

INSTANTIATE_TEST_SUITE_P(
    Interruptions, InterruptedDownloadTest,
    ::testing::Values(Interruption{"Abort", tern_test::Slow(16 * 1024, 2), true},
                      Interruption{"Cut", Route(&RouteOptions::cutAfter, 100 * 1024)},
                      Interruption{"Reset", Route(&RouteOptions::resetAfter, 100 * 1024)},
                      Interruption{"Stall", Route(&RouteOptions::stallAfter, 0)},
                      Interruption{"Kill", tern_test::Slow(8 * 1024, 5), false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateRunTest, KeptDownloadsAreForgottenOnlyWhenTheAnnouncedChecksumChanges) {
    AnnouncePatch();
    ServePatch(Route(&RouteOptions::cutAfter, 10 * 1024));
    Run();
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());

    server_.Fail(kPatchPath, 500);
    Run();  // same checksum: the partial download is kept (and resumed, in vain)
    EXPECT_EQ(StoredPatch("R "), partial);

    const std::string other = payload_.substr(0, 1000);
    server_.Serve(kInfoPath, Answer("1000", kPatchUrl, tern_test::ChecksumTextOf(other)));
    server_.Serve(kPatchPath, other);
    EXPECT_EQ(Result(*Run()), Tern::kUpdateOk);
    EXPECT_FALSE(tern_test::FileExists(partial));
    EXPECT_EQ(ReadFileBytes(StoredPatch("E ")), other);
    EXPECT_EQ(PatchRanges().back(), "");  // a fresh file, not a resume
}

TEST_F(UpdateRunTest, NotEnoughDiskSpaceStopsBeforeTheDownload) {
    server_.Serve(kInfoPath, Answer("5242880", kPatchUrl, "1234"));
    platform::testing::OverrideAvailableDiskSpace(3 * 1048576 + 5);
    auto host = Run();
    EXPECT_EQ(Result(*host), Tern::kUpdateFailed);
    EXPECT_TRUE(Contains(host->LogText(),
                         Line("IDS_LIB_ERR_FATAL_DOWNLOAD") +
                             Line("IDS_LIB_ERR_NOT_ENOUGH_DISK_SPACE") +
                             Tern::LibText("IDS_LIB_MSG_REQUIRED") + ": 5" +
                             Line("IDS_LIB_MSG_MB") + Tern::LibText("IDS_LIB_MSG_AVAILABLE") +
                             ": 3" + Line("IDS_LIB_MSG_MB") + Line("IDS_LIB_ERR_CANNOT_CONTINUE")));
    EXPECT_TRUE(PatchRanges().empty());

    platform::testing::OverrideAvailableDiskSpace(5242880);  // exactly enough passes
    Run();
    EXPECT_EQ(PatchRanges().size(), 1u);
}

}  // namespace
