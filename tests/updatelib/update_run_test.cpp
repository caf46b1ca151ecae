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

#include "platform/registry/registry_values.h"
#include "platform/test_seams.h"
#include "tests/support/http_test_server.h"
#include "tests/support/isolated_env.h"
#include "tests/support/test_host.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/file_functions.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/transfer/patch_checksum.h"
#include "updatelib/transfer/transfer_limits.h"

namespace {

using platform::Hive;
using tern_test::ReadFileBytes;
using tern_test::RouteOptions;
using tern_test::TestHost;

const std::string kKeyPath = "Software\\Norland\\Skyreach\\GameUpdate";
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

std::string Answer(const std::string& size, const std::string& url, const std::string& crc) {
    std::string xml = "<?xml version=\"1.0\"?>\n<RESPONSE>";
    if (!size.empty()) xml += "<PatchSize><VALUE>" + size + "</VALUE></PatchSize>";
    if (!url.empty()) xml += "<PatchUrl><VALUE>" + url + "</VALUE></PatchUrl>";
    if (!crc.empty()) xml += "<PatchCRC><VALUE>" + crc + "</VALUE></PatchCRC>";
    return xml + "<PatchGameUpdate><VALUE>FALSE</VALUE></PatchGameUpdate></RESPONSE>\n";
}

RouteOptions Fault(std::optional<uint64_t> RouteOptions::*fault, uint64_t bytes) {
    RouteOptions options;
    options.*fault = bytes;
    return options;
}

RouteOptions Slow(uint64_t chunkBytes, unsigned intervalMs) {
    RouteOptions options;
    options.chunkBytes = chunkBytes;
    options.intervalMs = intervalMs;
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
        Tern::testing::RestoreTransferTimeouts();
    }

    void ServePatch(const RouteOptions& options = {}) {
        server_.Serve(kPatchPath, payload_, options);
    }
    void AnnouncePatch(const RouteOptions& options = {}) {
        server_.Serve(kInfoPath,
                      Answer(std::to_string(payload_.size()), kPatchUrl, ChecksumTextOf(payload_)),
                      options);
    }

    // Runs one update to its end and returns the host for inspection.
    std::unique_ptr<TestHost> Run(const std::function<void(TestHost&)>& prepare = {}) {
        auto host = std::make_unique<TestHost>();
        host->confirmRunUpdates = false;
        if (prepare) prepare(*host);
        host->Start("skyreach-eu", kKeyPath, "us");
        EXPECT_TRUE(host->WaitForFinish());
        host->WaitForThreads();
        return host;
    }

    int32_t Result(const TestHost& host) const { return host.FinishedResults().at(0); }

    // The path of the "Patch" entry with its prefix, e.g. "E ".
    std::string StoredPatch(const std::string& prefix) const {
        const auto value = platform::ReadRegistryText(Hive::CurrentUser, kKeyPath + "\\UpdateFiles",
                                                      "Patch", 1 << 16);
        if (!value || value->compare(0, prefix.size(), prefix) != 0) return std::string();
        return value->substr(prefix.size());
    }
    std::vector<std::string> TempFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Tern::GetTempDirectory())) {
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

TEST_F(UpdateRunTest, APatchIsDownloadedVerifiedAndFlaggedForExecution) {
    AnnouncePatch();
    ServePatch();
    auto host = Run();
    EXPECT_EQ(Result(*host), Tern::kUpdateOk);
    EXPECT_EQ(host->stateWhenAskedToRun, 6);
    const std::string path = StoredPatch("E ");  // declined: it stays flagged
    EXPECT_EQ(ReadFileBytes(path), payload_);
    EXPECT_TRUE(Tern::IsDownloadFile(path)) << path;
    EXPECT_EQ(platform::ReadRegistryText(Hive::CurrentUser, kKeyPath, "previousCRC", 256),
              ChecksumTextOf(payload_));
    const auto reports = host->ProgressReports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back()[0], static_cast<double>(payload_.size()));
    EXPECT_EQ(reports.back()[3], static_cast<double>(payload_.size()));
    EXPECT_EQ(server_.Requests().at(0).target,
              "http://updates.norland.example/MatchMakingConfig.aspx?action=g_guc&gid=skyreach-eu"
              "&locale=en-US");

    // The next run finds the stored download ready and does not fetch it again.
    auto second = Run();
    EXPECT_EQ(Result(*second), Tern::kUpdateOk);
    EXPECT_EQ(RangesOf(kPatchPath).size(), 1u);
    EXPECT_NE(second->LogText().find(Tern::LibText("IDS_LIB_MSG_FLAGGED_EXECUTION") + "(" + path +
                                     ", (Patch, all, all))\n"),
              std::string::npos);
    EXPECT_EQ(StoredPatch("E "), path);
}

// The answer travels over plain HTTP: whatever it holds, the run ends with a clear result, no
// crash, no file left behind and nothing fetched that is not an HTTP patch of the announced size.
TEST_F(UpdateRunTest, UnusableAndHostileAnswersEndTheRunCleanly) {
    const std::string crc = ChecksumTextOf(payload_);
    const std::string size = std::to_string(payload_.size());
    const std::string local = env_.Root() + "/local_copy";
    tern_test::WriteFileBytes(local, payload_);
    std::string deep = "<RESPONSE>";
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    const std::string padding = "<!--" + std::string(70 * 1024, 'x') + "-->";
    struct Case {
        std::string answer;
        int32_t result;
        const char* logKey;  // null: no line checked
        std::string patch = std::string();
    };
    const Case cases[] = {
        {"<RESPONSE></RESPONSE>", 0, nullptr},
        {"<RESPONSE>  \n\t </RESPONSE>", 0, nullptr},
        {"this is not xml", 3, "IDS_LIB_ERR_FILE_PARSING"},
        {"<ANSWER><PatchSize><VALUE>1</VALUE></PatchSize></ANSWER>", 3, "IDS_LIB_ERR_FILE_TYPE"},
        {"<RESPONSE><!-- nothing --></RESPONSE>", 3, "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer("0", kPatchUrl, crc), 3, "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer("abc", kPatchUrl, crc), 3, "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer("-5", kPatchUrl, crc), 3, "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer("2147483648", kPatchUrl, crc), 3, "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer("4294967295", kPatchUrl, crc), 3, "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer(size, "", crc), 3, "IDS_LIB_ERR_FILE_FORMAT"},
        {Answer(size, kPatchUrl, ""), 3, "IDS_LIB_ERR_FILE_FORMAT"},
        {deep, 3, "IDS_LIB_ERR_FILE_PARSING"},
        {padding + Answer(size, kPatchUrl, crc), 3, "IDS_LIB_ERR_FILE_PARSING"},
        {Answer(size, "file://" + local, crc), 3, "IDS_LIB_ERR_FATAL_DOWNLOAD"},
        {Answer(size, "gopher://127.0.0.1:1/x", crc), 3, "IDS_LIB_ERR_FATAL_DOWNLOAD"},
        {Answer(size, "dict://127.0.0.1:1/x", crc), 3, "IDS_LIB_ERR_FATAL_DOWNLOAD"},
        {Answer(size, "ftp://mirror.norland.example/x", crc), 3, "IDS_LIB_ERR_FATAL_DOWNLOAD"},
        {Answer(size, kPatchUrl, "deadbeef"), 3, "IDS_LIB_ERR_CRC_NOT_MATCH", payload_},
        {Answer("1000", kPatchUrl, crc), 3, "IDS_LIB_ERR_FATAL_DOWNLOAD", payload_},
    };
    for (const Case& c : cases) {
        const std::string name = c.answer.substr(0, 120);
        server_.Serve(kInfoPath, c.answer);
        if (!c.patch.empty()) server_.Serve(kPatchPath, c.patch);
        auto host = Run();
        EXPECT_EQ(host->FinishedResults(), std::vector<int32_t>{c.result}) << name;
        if (c.logKey) {
            EXPECT_NE(host->LogText().find(Tern::LibText(c.logKey)), std::string::npos)
                << name << "\n"
                << host->LogText();
        }
        EXPECT_TRUE(TempFiles().empty()) << name;
        EXPECT_EQ(StoredPatch("E "), "") << name;
    }
    EXPECT_EQ(RangesOf(kPatchPath).size(), 2u);  // only the two HTTP patches were fetched
}

// Without a usable service the game must start at once, as if there were no update.
TEST_F(UpdateRunTest, UnreachableSlowAndFailingServices) {
    Tern::testing::OverrideTransferTimeouts({5, 60, 1});
    struct Case {
        const char* what;
        std::function<void()> prepare;
        int32_t result;
    };
    const Case cases[] = {
        {"closed port", [] { setenv("http_proxy", "http://127.0.0.1:1", 1); }, 0},
        {"trickling answer", [&] { AnnouncePatch(Slow(1, 400)); }, 0},
        {"stalled answer", [&] { AnnouncePatch(Fault(&RouteOptions::stallAfter, 0)); }, 0},
        {"HTTP error", [&] { server_.Fail(kInfoPath, 404); }, 3},
    };
    for (const Case& c : cases) {
        setenv("http_proxy", server_.ProxyUrl().c_str(), 1);
        c.prepare();
        auto host = Run();
        EXPECT_EQ(host->FinishedResults(), std::vector<int32_t>{c.result}) << c.what;
        EXPECT_TRUE(TempFiles().empty()) << c.what;
        const bool logged =
            host->LogText().find(Line("IDS_LIB_ERR_CANNOT_CONTINUE")) != std::string::npos;
        EXPECT_EQ(logged, c.result != 0) << c.what << "\n" << host->LogText();
    }
    EXPECT_TRUE(RangesOf(kPatchPath).empty());
}

enum class Interruption { Abort, Cut, Reset, Stall, Kill };

class InterruptedDownloadTest : public UpdateRunTest,
                                public ::testing::WithParamInterface<Interruption> {
protected:
    // Runs the launcher's update in a child process and kills it once part of the patch is on
    // disk.
    void RunAndKill() {
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            TestHost host;
            host.Start("skyreach-eu", kKeyPath, "us");
            host.WaitForFinish(std::chrono::seconds(60));
            _exit(0);
        }
        for (int i = 0; i < 10000; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const std::string path = StoredPatch("R ");
            if (!path.empty() && ReadFileBytes(path).size() > 32 * 1024) break;
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }

    // Interrupts the first download the way the test's parameter says.
    void Interrupt() {
        switch (GetParam()) {
            case Interruption::Abort: {
                ServePatch(Slow(16 * 1024, 2));
                auto aborted = Run([](TestHost& h) {
                    h.onProgressHook = [&h] {
                        const auto reports = h.ProgressReports();
                        if (!reports.empty() && reports.back()[3] > 64 * 1024) h.Abort();
                    };
                });
                EXPECT_EQ(Result(*aborted), Tern::kUpdateUserAborted);
                EXPECT_NE(aborted->LogText().find(Line("IDS_LIB_ERR_USER_ABORT")),
                          std::string::npos);
                return;
            }
            case Interruption::Kill:
                ServePatch(Slow(8 * 1024, 5));
                RunAndKill();
                return;
            case Interruption::Cut:
                ServePatch(Fault(&RouteOptions::cutAfter, 100 * 1024));
                break;
            case Interruption::Reset:
                ServePatch(Fault(&RouteOptions::resetAfter, 100 * 1024));
                break;
            case Interruption::Stall:
                Tern::testing::OverrideTransferTimeouts({5, 1, 15});
                ServePatch(Fault(&RouteOptions::stallAfter, 0));
                break;
        }
        auto cut = Run();
        EXPECT_EQ(Result(*cut), Tern::kUpdateIncomplete);
        EXPECT_NE(cut->LogText().find(Line("IDS_LIB_ERR_PARTIALLY")), std::string::npos);
    }
};

// A partial download is never lost: not by the interruption, not by a start without network in
// between, not by a disk that has room only for the rest. The temporary directory is deeper than
// the desktop's path limit.
TEST_P(InterruptedDownloadTest, TheNextRunResumesItByteIdentical) {
    setenv("TMPDIR", tern_test::LongDirectory(env_.Root(), 240).c_str(), 1);
    AnnouncePatch();
    Interrupt();
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
    EXPECT_NE(resumed->LogText().find(Tern::LibText("IDS_LIB_MSG_ATTEMPTING_RESUME") + "(" +
                                      partial + ", (Patch, all, all))\n"),
              std::string::npos);
    EXPECT_EQ(RangesOf(kPatchPath).back(), kept ? "bytes=" + std::to_string(kept) + "-" : "");
    EXPECT_EQ(StoredPatch("E "), partial);
    EXPECT_EQ(ReadFileBytes(partial), payload_);
}

INSTANTIATE_TEST_SUITE_P(Interruptions, InterruptedDownloadTest,
                         ::testing::Values(Interruption::Abort, Interruption::Cut,
                                           Interruption::Reset, Interruption::Stall,
                                           Interruption::Kill));

TEST_F(UpdateRunTest, KeptDownloadsAreForgottenOnlyWhenTheAnnouncedChecksumChanges) {
    AnnouncePatch();
    ServePatch(Fault(&RouteOptions::cutAfter, 10 * 1024));
    Run();
    const std::string partial = StoredPatch("R ");
    ASSERT_FALSE(partial.empty());

    server_.Fail(kPatchPath, 500);
    Run();  // same checksum: the partial download is kept (and resumed, in vain)
    EXPECT_EQ(StoredPatch("R "), partial);

    const std::string other = payload_.substr(0, 1000);
    server_.Serve(kInfoPath, Answer("1000", kPatchUrl, ChecksumTextOf(other)));
    server_.Serve(kPatchPath, other);
    auto fresh = Run();
    EXPECT_EQ(Result(*fresh), Tern::kUpdateOk);
    EXPECT_FALSE(tern_test::FileExists(partial));
    EXPECT_EQ(ReadFileBytes(StoredPatch("E ")), other);
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
    Run();
    EXPECT_EQ(RangesOf(kPatchPath).size(), 1u);
}

}  // namespace
