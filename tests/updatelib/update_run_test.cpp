// Whole update runs through a test host against a local HTTP server.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "platform/registry_text.h"
#include "platform/test_seams.h"
#include "tests/support/http_test_server.h"
#include "tests/support/isolated_env.h"
#include "tests/support/test_host.h"
#include "updatelib/engine/update_engine.h"
#include "updatelib/host/diagnostic_channel.h"
#include "updatelib/host/library_texts.h"
#include "updatelib/install/patch_checksum.h"

namespace {

using platform::Hive;
using tern_test::RouteOptions;
using tern_test::TestHost;

const std::string kKeyPath = "Software\\Norland\\Skyreach\\GameUpdate";
const std::string kFilesKeyPath = kKeyPath + "\\UpdateFiles";
const std::string kInfoPath = "/MatchMakingConfig.aspx";
const std::string kPatchPath = "/patches/skyreach_patch.exe";
const std::string kPatchUrl = "http://mirror.norland.example" + kPatchPath;

std::string Payload(size_t size) {
    std::mt19937 random(42);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::string ChecksumTextOf(const std::string& bytes) {
    Tern::PatchChecksum checksum;
    checksum.Update(bytes.data(), bytes.size());
    return Tern::ChecksumText(checksum.Value());
}

std::string Answer(const std::string& size, const std::string& url, const std::string& crc,
                   const std::string& gameUpdate = "FALSE") {
    std::string xml = "<?xml version=\"1.0\"?>\n<RESPONSE>";
    if (!size.empty()) xml += "<PatchSize><VALUE>" + size + "</VALUE></PatchSize>";
    if (!url.empty()) xml += "<PatchUrl><VALUE>" + url + "</VALUE></PatchUrl>";
    if (!crc.empty()) xml += "<PatchCRC><VALUE>" + crc + "</VALUE></PatchCRC>";
    xml += "<PatchGameUpdate><VALUE>" + gameUpdate + "</VALUE></PatchGameUpdate></RESPONSE>\n";
    return xml;
}

RouteOptions Slow(uint64_t chunkBytes, unsigned intervalMs) {
    RouteOptions options;
    options.chunkBytes = chunkBytes;
    options.intervalMs = intervalMs;
    return options;
}

RouteOptions CutAfter(uint64_t bytes) {
    RouteOptions options;
    options.cutAfter = bytes;
    return options;
}

RouteOptions StallAfter(uint64_t bytes) {
    RouteOptions options;
    options.stallAfter = bytes;
    return options;
}

RouteOptions IgnoringRange() {
    RouteOptions options;
    options.ignoreRange = true;
    return options;
}

std::string Line(const char* key) { return Tern::LibText(key) + "\n"; }

class UpdateRunTest : public tern_test::IsolatedTest {
protected:
    UpdateRunTest()
        : server_(env_.Root() + "/server"), proxy_(server_), payload_(Payload(300 * 1024)) {
        Tern::LibraryChannel().SetDiagnosticStream(&diagnostics_);
    }
    ~UpdateRunTest() override {
        Tern::LibraryChannel().SetDiagnosticStream(&std::cerr);
        platform::testing::OverrideAvailableDiskSpace(std::nullopt);
        platform::testing::RestoreTransferTimeouts();
    }

    void ServePatch(const RouteOptions& options = {}) {
        server_.Serve(kPatchPath, payload_, options);
    }
    void AnnouncePatch() {
        server_.Serve(kInfoPath,
                      Answer(std::to_string(payload_.size()), kPatchUrl, ChecksumTextOf(payload_)));
    }

    // Runs one update to its end and returns the host for inspection.
    std::unique_ptr<TestHost> Run(const std::function<void(TestHost&)>& prepare = {}) {
        auto host = std::make_unique<TestHost>();
        host->confirmRunUpdates = false;
        if (prepare) prepare(*host);
        host->Start("skyreach-eu", kKeyPath, "us");
        EXPECT_TRUE(host->WaitForFinish());
        host->WaitForWorker();
        return host;
    }

    int32_t Result(const TestHost& host) const { return host.FinishedResults().at(0); }

    std::optional<std::string> FilesValue(const std::string& name) const {
        return platform::ReadRegistryText(Hive::CurrentUser, kFilesKeyPath, name, 4096);
    }
    // The path of the "Patch" entry with its prefix, e.g. "E ".
    std::string StoredPatch(const std::string& prefix) const {
        const auto value = FilesValue("Patch");
        if (!value || value->compare(0, prefix.size(), prefix) != 0) return std::string();
        return value->substr(prefix.size());
    }
    std::vector<std::string> TempFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(env_.TempDir())) {
            names.push_back(entry.path().filename());
        }
        return names;
    }
    std::vector<std::string> RangesOf(const std::string& path) const {
        std::vector<std::string> ranges;
        for (const auto& request : server_.Requests()) {
            if (request.path == path) ranges.push_back(request.range);
        }
        return ranges;
    }

    std::ostringstream diagnostics_;
    tern_test::HttpTestServer server_;
    tern_test::ProxyEnvironment proxy_;
    const std::string payload_;
};

TEST_F(UpdateRunTest, AnswersWithoutAPatchEndQuietlyWithResultZero) {
    for (const char* answer :
         {"<RESPONSE></RESPONSE>", "<RESPONSE/>", "<RESPONSE>  \n\t </RESPONSE>"}) {
        server_.Serve(kInfoPath, answer);
        auto host = Run();
        EXPECT_EQ(host->FinishedResults(), std::vector<int32_t>{Tern::kUpdateOk}) << answer;
        EXPECT_TRUE(TempFiles().empty()) << answer;
        EXPECT_EQ(host->DownloadsStarted().size(), 1u);
    }
    const auto requests = server_.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].target,
              "http://updates.norland.example/MatchMakingConfig.aspx?action=g_guc&gid=skyreach-eu"
              "&locale=en-US");
}

TEST_F(UpdateRunTest, APatchIsDownloadedVerifiedAndFlaggedForExecution) {
    AnnouncePatch();
    ServePatch();
    auto host = Run();
    EXPECT_EQ(Result(*host), Tern::kUpdateOk);
    const std::string path = StoredPatch("E ");
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(tern_test::ReadFileBytes(path), payload_);
    EXPECT_EQ(path.compare(path.size() - 4, 4, ".exe"), 0);
    EXPECT_EQ(platform::ReadRegistryText(Hive::CurrentUser, kKeyPath, "previousCRC", 256),
              ChecksumTextOf(payload_));
    EXPECT_NE(host->LogText().find(Line("IDS_LIB_MSG_SUCCESS_UPDATE")), std::string::npos);
    // The overall figures run against the announced size and end at it.
    const auto reports = host->ProgressReports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back()[0], static_cast<double>(payload_.size()));
    EXPECT_EQ(reports.back()[3], static_cast<double>(payload_.size()));
}

TEST_F(UpdateRunTest, TheHostIsAskedInTheRunUpdatesState) {
    AnnouncePatch();
    ServePatch();
    int32_t stateWhenAsked = 0;
    struct AskingHost : TestHost {
        int32_t* seen;
        bool ConfirmRunUpdates() override {
            *seen = GetEngineState();
            return false;
        }
    };
    auto host = std::make_unique<AskingHost>();
    host->seen = &stateWhenAsked;
    host->Start("skyreach-eu", kKeyPath, "us");
    ASSERT_TRUE(host->WaitForFinish());
    host->WaitForWorker();
    EXPECT_EQ(stateWhenAsked, Tern::kRunUpdates);
    EXPECT_FALSE(StoredPatch("E ").empty());  // declined updates stay flagged
}

TEST_F(UpdateRunTest, AnUnreachableServiceEndsAsIfThereWereNoUpdate) {
    setenv("http_proxy", "http://127.0.0.1:1", 1);
    auto host = Run();
    EXPECT_EQ(host->FinishedResults(), std::vector<int32_t>{Tern::kUpdateOk});
    EXPECT_EQ(host->LogText().find(Tern::LibText("IDS_LIB_ERR_CANNOT_CONTINUE")),
              std::string::npos);
    EXPECT_TRUE(TempFiles().empty());

    unsetenv("http_proxy");  // the real service name does not resolve here
    auto offline = Run();
    EXPECT_EQ(offline->FinishedResults(), std::vector<int32_t>{Tern::kUpdateOk});
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(UpdateRunTest, AnHttpErrorOnTheRequestIsLoggedWithItsCode) {
    server_.Fail(kInfoPath, 404);
    auto host = Run();
    EXPECT_EQ(Result(*host), Tern::kUpdateFailed);
    const std::string log = host->LogText();
    EXPECT_NE(log.find(Tern::LibText("IDS_LIB_ERR_DWNLD_UPDATE_INFO") + ". \n" +
                       Tern::LibText("IDS_LIB_ERR_FATAL_DOWNLOAD") + ":  22\n" +
                       Line("IDS_LIB_ERR_CANNOT_CONTINUE")),
              std::string::npos)
        << log;
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(UpdateRunTest, UnusableAnswersNameTheirFault) {
    const std::string crc = ChecksumTextOf(payload_);
    const std::pair<std::string, const char*> cases[] = {
        {"this is not xml", "IDS_LIB_ERR_FILE_PARSING"},
        {"<ANSWER><PatchSize><VALUE>1</VALUE></PatchSize></ANSWER>", "IDS_LIB_ERR_FILE_TYPE"},
        {"<RESPONSE><!-- nothing --></RESPONSE>", "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer("0", kPatchUrl, crc), "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer("abc", kPatchUrl, crc), "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer("100", "", crc), "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer("100", kPatchUrl, ""), "IDS_LIB_ERR_FILE_FORMAT"},
    };
    for (const auto& [answer, key] : cases) {
        server_.Serve(kInfoPath, answer);
        auto host = Run();
        EXPECT_EQ(Result(*host), Tern::kUpdateFailed) << answer;
        EXPECT_NE(host->LogText().find(Line(key) + Line("IDS_LIB_ERR_CANNOT_CONTINUE")),
                  std::string::npos)
            << answer << "\n"
            << host->LogText();
        EXPECT_TRUE(TempFiles().empty()) << answer;
    }
    EXPECT_TRUE(RangesOf(kPatchPath).empty());
}

TEST_F(UpdateRunTest, AnAbortedDownloadIsResumedByTheNextRun) {
    AnnouncePatch();
    ServePatch(Slow(16 * 1024, 2));
    auto aborted = Run([](TestHost& h) {
        h.onProgressHook = [&h] {
            const auto reports = h.ProgressReports();
            if (!reports.empty() && reports.back()[3] > 64 * 1024) h.Abort();
        };
    });
    EXPECT_EQ(Result(*aborted), Tern::kUpdateUserAborted);
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());
    const size_t kept = tern_test::ReadFileBytes(partial).size();
    ASSERT_GT(kept, 0u);
    ASSERT_LT(kept, payload_.size());
    EXPECT_NE(aborted->LogText().find(Line("IDS_LIB_ERR_USER_ABORT")), std::string::npos);

    ServePatch();
    auto resumed = Run();
    EXPECT_EQ(Result(*resumed), Tern::kUpdateOk);
    EXPECT_NE(resumed->LogText().find(Tern::LibText("IDS_LIB_MSG_ATTEMPTING_RESUME") + "(" +
                                      partial + ", (Patch, all, all))\n"),
              std::string::npos);
    EXPECT_EQ(RangesOf(kPatchPath).back(), "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(StoredPatch("E "), partial);
    EXPECT_EQ(tern_test::ReadFileBytes(partial), payload_);
}

TEST_F(UpdateRunTest, ACutConnectionKeepsThePartialFileForTheNextRun) {
    AnnouncePatch();
    ServePatch(CutAfter(100 * 1024));
    auto cut = Run();
    EXPECT_EQ(Result(*cut), Tern::kUpdateIncomplete);
    EXPECT_NE(cut->LogText().find(Line("IDS_LIB_ERR_PARTIALLY")), std::string::npos);
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());
    EXPECT_EQ(tern_test::ReadFileBytes(partial).size(), 100u * 1024);

    ServePatch();
    auto resumed = Run();
    EXPECT_EQ(Result(*resumed), Tern::kUpdateOk);
    EXPECT_EQ(RangesOf(kPatchPath).back(), "bytes=102400-");
    EXPECT_EQ(tern_test::ReadFileBytes(StoredPatch("E ")), payload_);
}

TEST_F(UpdateRunTest, AServerIgnoringTheRangeIsFetchedAgainWhole) {
    AnnouncePatch();
    ServePatch(CutAfter(50 * 1024));
    Run();
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());

    ServePatch(IgnoringRange());
    auto again = Run();
    EXPECT_EQ(Result(*again), Tern::kUpdateOk);
    EXPECT_EQ(tern_test::ReadFileBytes(StoredPatch("E ")), payload_);
}

TEST_F(UpdateRunTest, ADownloadKilledMidTransferIsResumedByteIdentical) {
    AnnouncePatch();
    ServePatch(Slow(8 * 1024, 5));
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        TestHost host;
        host.Start("skyreach-eu", kKeyPath, "us");
        host.WaitForFinish(std::chrono::seconds(60));
        _exit(0);
    }
    std::string partial;
    for (int i = 0; i < 10000 && partial.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::string path = StoredPatch("R ");
        if (!path.empty() && tern_test::ReadFileBytes(path).size() > 32 * 1024) partial = path;
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_FALSE(partial.empty());
    const size_t kept = tern_test::ReadFileBytes(partial).size();
    ASSERT_LT(kept, payload_.size());

    ServePatch();
    auto resumed = Run();
    EXPECT_EQ(Result(*resumed), Tern::kUpdateOk);
    EXPECT_EQ(RangesOf(kPatchPath).back(), "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(tern_test::ReadFileBytes(StoredPatch("E ")), payload_);
}

TEST_F(UpdateRunTest, AChecksumMismatchDeletesTheFile) {
    server_.Serve(kInfoPath, Answer(std::to_string(payload_.size()), kPatchUrl, "deadbeef"));
    ServePatch();
    auto host = Run();
    EXPECT_EQ(Result(*host), Tern::kUpdateFailed);
    EXPECT_NE(host->LogText().find(Line("IDS_LIB_ERR_CRC_NOT_MATCH")), std::string::npos);
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_TRUE(StoredPatch("E ").empty());
}

TEST_F(UpdateRunTest, KeptDownloadsAreForgottenOnlyWhenTheAnnouncedChecksumChanges) {
    AnnouncePatch();
    ServePatch(CutAfter(10 * 1024));
    Run();
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());

    server_.Fail(kPatchPath, 500);
    Run();  // same checksum: the partial download is kept (and resumed, in vain)
    EXPECT_TRUE(tern_test::FileExists(partial));
    EXPECT_EQ(StoredPatch("R "), partial);

    const std::string other = payload_.substr(0, 1000);
    server_.Serve(kInfoPath, Answer("1000", kPatchUrl, ChecksumTextOf(other)));
    server_.Serve(kPatchPath, other);
    auto fresh = Run();
    EXPECT_EQ(Result(*fresh), Tern::kUpdateOk);
    EXPECT_FALSE(tern_test::FileExists(partial));
    EXPECT_EQ(tern_test::ReadFileBytes(StoredPatch("E ")), other);
    EXPECT_EQ(RangesOf(kPatchPath).back(), "");  // a fresh file, not a resume
}

TEST_F(UpdateRunTest, NotEnoughDiskSpaceStopsBeforeTheDownload) {
    server_.Serve(kInfoPath, Answer("5242880", kPatchUrl, "1234"));
    platform::testing::OverrideAvailableDiskSpace(3 * 1048576 + 5);
    auto host = Run();
    EXPECT_EQ(Result(*host), Tern::kUpdateFailed);
    const std::string expected =
        Line("IDS_LIB_ERR_FATAL_DOWNLOAD") + Line("IDS_LIB_ERR_NOT_ENOUGH_DISK_SPACE") +
        Tern::LibText("IDS_LIB_MSG_REQUIRED") + ": 5" + Line("IDS_LIB_MSG_MB") +
        Tern::LibText("IDS_LIB_MSG_AVAILABLE") + ": 3" + Line("IDS_LIB_MSG_MB") +
        Line("IDS_LIB_ERR_CANNOT_CONTINUE");
    EXPECT_NE(host->LogText().find(expected), std::string::npos) << host->LogText();
    EXPECT_TRUE(RangesOf(kPatchPath).empty());

    platform::testing::OverrideAvailableDiskSpace(5242880);  // exactly enough passes
    server_.Serve(kInfoPath, Answer("5242880", kPatchUrl, "1234"));
    Run();
    EXPECT_EQ(RangesOf(kPatchPath).size(), 1u);
}

TEST_F(UpdateRunTest, AStoredReadyDownloadIsNotFetchedAgain) {
    AnnouncePatch();
    ServePatch();
    Run();
    const std::string ready = StoredPatch("E ");
    ASSERT_FALSE(ready.empty());

    auto second = Run();
    EXPECT_EQ(Result(*second), Tern::kUpdateOk);
    EXPECT_EQ(RangesOf(kPatchPath).size(), 1u);
    EXPECT_NE(second->LogText().find(Tern::LibText("IDS_LIB_MSG_FLAGGED_EXECUTION") + "(" + ready +
                                     ", (Patch, all, all))\n"),
              std::string::npos);
    EXPECT_EQ(StoredPatch("E "), ready);
}

TEST_F(UpdateRunTest, AStalledServiceCountsAsUnreachableAndAStalledPatchAsCut) {
    platform::testing::OverrideTransferTimeouts(5, 1);
    server_.Serve(kInfoPath,
                  Answer(std::to_string(payload_.size()), kPatchUrl, ChecksumTextOf(payload_)),
                  StallAfter(20));
    auto stalledInfo = Run();
    EXPECT_EQ(stalledInfo->FinishedResults(), std::vector<int32_t>{Tern::kUpdateOk});
    EXPECT_TRUE(TempFiles().empty());

    AnnouncePatch();
    ServePatch(StallAfter(4096));
    auto stalledPatch = Run();
    EXPECT_EQ(Result(*stalledPatch), Tern::kUpdateIncomplete);
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());
    EXPECT_EQ(tern_test::ReadFileBytes(partial).size(), 4096u);
}

}  // namespace
