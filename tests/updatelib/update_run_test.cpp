// Whole update runs through a test host against a local HTTP server.
#include <filesystem>
#include <thread>

#include "platform/test_seams.h"
#include "tests/support/child_process.h"
#include "tests/support/test_host.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/file_functions.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/chain/update.h"
#include "updatelib/engine/update_engine.h"
#include "updatelib/state/update_state_store.h"
#include "updatelib/transfer/http_downloader.h"
#include "updatelib/transfer/transfer_limits.h"

namespace tern_test {
namespace {

const std::string kInfoPath = "/MatchMakingConfig.aspx";
#ifdef _WIN32
const char kTempVariable[] = "TMP";
#else
const char kTempVariable[] = "TMPDIR";
#endif
const std::string kPatchPath = "/patches/skyreach_patch.exe";
const std::string kPatchUrl = "http://mirror.norland.example" + kPatchPath;

std::string Line(const char* key) { return Tern::LibText(key) + "\n"; }

class UpdateRunTest : public IsolatedTest {
protected:
    UpdateRunTest() { HoldUpdateServiceEndpoint(); }
    ~UpdateRunTest() override {
        platform::testing::OverrideAvailableDiskSpace(std::nullopt);
        platform::testing::ForbidExecutionBelow("");
        Tern::testing::RestoreTransferTimeouts();
    }

    void AnnouncePatch() {
        server_.Serve(kInfoPath, Answer(std::to_string(payload_.size()), kPatchUrl, crc_));
    }

    // Runs one update to its end and returns the host for inspection.
    std::unique_ptr<TestHost> Run(const std::function<void(TestHost&)>& prepare = {}) {
        auto host = std::make_unique<TestHost>();
        host->confirmRunUpdates = false;
        if (prepare) prepare(*host);
        host->Start("skyreach-eu", kUpdateKey, "us", kProduct);
        host->WaitForThreads();
        return host;
    }

    static int32_t Result(const TestHost& host) { return host.FinishedResults().at(0); }
    std::vector<std::string> PatchRanges() const {
        std::vector<std::string> ranges;
        for (const auto& request : server_.Requests()) {
            if (request.path == kPatchPath) ranges.push_back(request.range);
        }
        return ranges;
    }

    CapturedDiagnostics diagnostics_;
    HttpTestServer server_{env_.Root() + "/server"};
    ProxyEnvironment proxy_{server_};
    const std::string payload_ = RandomBytes(300 * 1024);
    const std::string crc_ = ChecksumTextOf(payload_);
};

// The answer travels over plain HTTP: whatever it holds and however slowly it comes, the run ends
// with a clear result, no crash, no file left behind and nothing fetched that is not an HTTP
// patch of the announced size. Without a usable answer the game starts at once, as if there were
// no update.
TEST_F(UpdateRunTest, UnusableHostileAndMissingAnswersEndTheRunCleanly) {
    Tern::testing::OverrideTransferTimeouts({5, 60, 1});
    const std::string size = std::to_string(payload_.size());
    const std::string announced = Answer(size, kPatchUrl, crc_);
    const std::string local = env_.Root() + "/local_copy";
    WriteFileBytes(local, payload_);
    const char* const kFormat = "IDS_LIB_ERR_FILE_FORMAT";
    const char* const kParsing = "IDS_LIB_ERR_FILE_PARSING";
    const char* const kDownload = "IDS_LIB_ERR_FATAL_DOWNLOAD";
    struct Case {
        std::string answer;
        const char* reason;  // in the log; null: no update
        RouteOptions route = RouteOptions();
    };
    const Case cases[] = {
        {"<RESPONSE></RESPONSE>", nullptr},
        {"<RESPONSE>  \n\t </RESPONSE>", nullptr},
        {announced, nullptr, Slow(1, 400)},
        {announced, nullptr, Route(&RouteOptions::stallAfter, 0)},
        {announced, "IDS_LIB_ERR_DWNLD_UPDATE_INFO", Route(&RouteOptions::status, 404)},
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
        {"<!--" + std::string(70 * 1024, 'x') + "-->" + announced, kParsing},
        {Answer(size, "file://" + local, crc_), kDownload},
        {Answer(size, "gopher://127.0.0.1:1/x", crc_), kDownload},
        {Answer(size, "dict://127.0.0.1:1/x", crc_), kDownload},
        {Answer(size, "ftp://mirror.norland.example/x", crc_), kDownload},
        {Answer(size, kPatchUrl, "deadbeef"), "IDS_LIB_ERR_CRC_NOT_MATCH"},
        {Answer("1000", kPatchUrl, crc_), kDownload},
    };
    server_.Serve(kPatchPath, payload_);
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        server_.Serve(kInfoPath, c.answer, c.route);
        auto host = Run();
        EXPECT_EQ(Result(*host), c.reason ? Tern::kUpdateFailed : Tern::kUpdateOk);
        EXPECT_TRUE(Contains(host->LogText(), c.reason ? Tern::LibText(c.reason) : ""));
        EXPECT_TRUE(c.reason ||
                    host->LogText().find(Line("IDS_LIB_ERR_CANNOT_CONTINUE")) == std::string::npos);
        EXPECT_TRUE(std::filesystem::is_empty(Tern::GetTempDirectory()));
        EXPECT_EQ(StoredPatch("E "), "");
    }
    EXPECT_EQ(PatchRanges().size(), 2u);  // only the two HTTP patches were fetched
}

// An update without a mirror fails before any file is made for it.
TEST_F(UpdateRunTest, AnUpdateWithoutMirrorsLeavesNoFile) {
    TestHost host;
    Tern::UpdateStateStore store;
    store.Open(kUpdateKey);
    Tern::HttpDownloader downloader;
    Tern::Update update(Tern::TargetId("Patch", "all", "all"), {}, crc_, 1, "", {}, false, "");
    EXPECT_FALSE(update.downloadUpdate(host.Observer(), downloader, store, 1, 1));
    EXPECT_EQ(host.GetResult(), Tern::kUpdateFailed);
    EXPECT_TRUE(std::filesystem::is_empty(Tern::GetTempDirectory()));
}

struct Interruption {
    const char* name;
    RouteOptions route;
    bool abort = false;  // by the player
    bool kill = false;   // of the launcher's process
};
void PrintTo(const Interruption& how, std::ostream* out) { *out << how.name; }

class InterruptedDownloadTest : public UpdateRunTest,
                                public ::testing::WithParamInterface<Interruption> {
protected:
    void Interrupt(const Interruption& how) {
        server_.Serve(kPatchPath, payload_, how.route);
        if (how.kill) {
            ChildProcess updater({TERN_UPDATER_CHILD});
            for (int i = 0; i < 10000 && ReadFileBytes(StoredPatch("R ")).size() < 32768; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            return;
        }
        Tern::testing::OverrideTransferTimeouts({5, 1, 15});  // a stall ends within a second
        auto host = Run([&](TestHost& h) {
            if (!how.abort) return;
            h.onProgressHook = [&h] {
                const auto reports = h.ProgressReports();
                if (!reports.empty() && reports.back()[3] > 64 * 1024) h.Abort();
            };
        });
        Tern::testing::RestoreTransferTimeouts();
        EXPECT_EQ(Result(*host), how.abort ? Tern::kUpdateUserAborted : Tern::kUpdateIncomplete);
        EXPECT_TRUE(Contains(host->LogText(),
                             Line(how.abort ? "IDS_LIB_ERR_USER_ABORT" : "IDS_LIB_ERR_PARTIALLY")));
    }
};

// A partial download is never lost: not by the interruption, not by a start without network in
// between (which goes on as if there were no update), not by a disk that has room only for the
// rest. Once complete and verified, it waits to be run, and the next run does not fetch it again.
// The temporary directory is deeper than the desktop's path limit.
TEST_P(InterruptedDownloadTest, TheNextRunResumesItByteIdentical) {
    SetVariable(kTempVariable, LongDirectory(env_.Root(), 240));
    AnnouncePatch();
    Interrupt(GetParam());
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());
    const size_t kept = ReadFileBytes(partial).size();
    ASSERT_LT(kept, payload_.size());

    SetVariable("http_proxy", "http://127.0.0.1:1");
    EXPECT_EQ(Result(*Run()), Tern::kUpdateOk);
    EXPECT_EQ(StoredPatch("R "), partial) << "an offline start keeps the record";

    SetVariable("http_proxy", server_.ProxyUrl());
    platform::testing::OverrideAvailableDiskSpace(payload_.size() - kept);
    server_.Serve(kPatchPath, payload_);
    auto resumed = Run();
    EXPECT_EQ(Result(*resumed), Tern::kUpdateOk) << resumed->LogText();
    EXPECT_TRUE(Contains(resumed->LogText(), Tern::LibText("IDS_LIB_MSG_ATTEMPTING_RESUME") + "(" +
                                                 partial + ", (Patch, all, all))\n"));
    EXPECT_EQ(PatchRanges().back(), kept ? "bytes=" + std::to_string(kept) + "-" : "");
    EXPECT_EQ(resumed->stateWhenAskedToRun, Tern::kRunUpdates);
    ASSERT_FALSE(resumed->ProgressReports().empty());
    EXPECT_EQ(resumed->ProgressReports().back()[3], payload_.size());
    EXPECT_EQ(StoredPatch("E "), partial);  // declined: it stays flagged
    EXPECT_EQ(ReadFileBytes(partial), payload_);

    const size_t fetched = PatchRanges().size();
    EXPECT_TRUE(Contains(Run()->LogText(), Tern::LibText("IDS_LIB_MSG_FLAGGED_EXECUTION") + "(" +
                                               partial + ", (Patch, all, all))\n"));
    EXPECT_EQ(PatchRanges().size(), fetched);
    EXPECT_EQ(StoredPatch("E "), partial);
}

INSTANTIATE_TEST_SUITE_P(
    Interruptions, InterruptedDownloadTest,
    ::testing::Values(Interruption{"Abort", Slow(16 * 1024, 2), true},
                      Interruption{"Cut", Route(&RouteOptions::cutAfter, 100 * 1024)},
                      Interruption{"Reset", Route(&RouteOptions::resetAfter, 100 * 1024)},
                      Interruption{"Stall", Route(&RouteOptions::stallAfter, 0)},
                      Interruption{"Kill", Slow(8 * 1024, 5), false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A kept download waits while the disk has no room for its rest, and goes only when the announced
// checksum changes. Nothing is downloaded where no program may run.
TEST_F(UpdateRunTest, KeptDownloadsWaitForRoomAndGoOnlyWhenTheChecksumChanges) {
    AnnouncePatch();
    server_.Serve(kPatchPath, payload_, Route(&RouteOptions::cutAfter, 10 * 1024));
    Run();
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());

    platform::testing::OverrideAvailableDiskSpace(payload_.size() - 10 * 1024 - 1);
    auto full = Run();
    EXPECT_EQ(Result(*full), Tern::kUpdateFailed);
    EXPECT_TRUE(Contains(full->LogText(),
                         Line("IDS_LIB_ERR_FATAL_DOWNLOAD") +
                             Line("IDS_LIB_ERR_NOT_ENOUGH_DISK_SPACE") +
                             Tern::LibText("IDS_LIB_MSG_REQUIRED") + ": 0" +
                             Line("IDS_LIB_MSG_MB") + Tern::LibText("IDS_LIB_MSG_AVAILABLE") +
                             ": 0" + Line("IDS_LIB_MSG_MB") + Line("IDS_LIB_ERR_CANNOT_CONTINUE")));
    EXPECT_EQ(PatchRanges().size(), 1u);
    EXPECT_EQ(StoredPatch("R "), partial);
    platform::testing::OverrideAvailableDiskSpace(std::nullopt);

    const std::string other = payload_.substr(0, 1000);
    server_.Serve(kInfoPath, Answer("1000", kPatchUrl, ChecksumTextOf(other)));
    server_.Serve(kPatchPath, other);
    EXPECT_EQ(Result(*Run()), Tern::kUpdateOk);
    EXPECT_FALSE(FileExists(partial));
    EXPECT_EQ(ReadFileBytes(StoredPatch("E ")), other);
    EXPECT_EQ(PatchRanges().back(), "");  // a fresh file, not a resume
    EXPECT_EQ(server_.Requests().at(0).target,
              "http://updates.norland.example/MatchMakingConfig.aspx?action=g_guc&gid=skyreach-eu"
              "&locale=en-US");

    const size_t fetched = PatchRanges().size();
    platform::testing::ForbidExecutionBelow(env_.Root());  // $TMPDIR and the fallback
    auto noexec = Run();
    EXPECT_EQ(Result(*noexec), Tern::kUpdateFailed);
    const char separator = platform::kPathSeparator;
    const std::string fallback =
        env_.CacheHome() + separator + "tern" + separator + "tmp" + separator;
    EXPECT_TRUE(Contains(noexec->LogText(), Tern::LibText("IDS_LIB_ERR_NOEXEC_DIRECTORY") + " (" +
                                                fallback + ")\n" +
                                                Line("IDS_LIB_ERR_CANNOT_CONTINUE")));
    EXPECT_EQ(PatchRanges().size(), fetched);
    platform::testing::ForbidExecutionBelow(env_.TempDir());
    EXPECT_EQ(Tern::GetTempDirectory(), fallback);
    EXPECT_TRUE(Contains(diagnostics_.str(), "Downloaded 0/0 bytes (0%) -- this file "));
}

}  // namespace
}  // namespace tern_test
