#include "updatelib/transfer/http_downloader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_seams.h"
#include "tests/support/http_test_server.h"
#include "tests/support/isolated_env.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/download_progress_observer.h"
#include "updatelib/transfer/transfer_limits.h"

namespace {

using tern_test::FileExists;
using tern_test::ReadFileBytes;
using tern_test::RouteOptions;
using tern_test::WriteFileBytes;

const char kPatchUrl[] = "http://downloads.example.com/patches/patch.bin";

// Bytes of every value, in an order that exposes shifted or repeated blocks.
std::string Body(size_t size) {
    std::string body(size, '\0');
    uint32_t state = 2463534242u;
    for (char& byte : body) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return body;
}

struct Report {
    double fileBytes;
    double fileReceived;
};

class RecordingObserver final : public Tern::DownloadProgressObserver {
public:
    bool OnProgress(double, double, double fileBytes, double fileReceived) override {
        reports.push_back({fileBytes, fileReceived});
        return proceed(reports.back());
    }

    std::vector<Report> reports;
    std::function<bool(const Report&)> proceed = [](const Report&) { return true; };
};

class HttpDownloaderTest : public tern_test::IsolatedTest {
protected:
    HttpDownloaderTest() { Tern::LibraryChannel().SetDiagnosticStream(&diagnostics_); }
    ~HttpDownloaderTest() override {
        Tern::LibraryChannel().SetDiagnosticStream(&std::cerr);
        Tern::testing::RestoreTransferTimeouts();
    }

    std::string Target(const std::string& name) const { return env_.TempDir() + name; }

    std::string ErrorLine(int code) const {
        return "Received error code " + std::to_string(code) + "(" + downloader_.errorText() +
               ") from curl_easy_perform\n";
    }

    tern_test::HttpTestServer server_{env_.Root() + "/http"};
    tern_test::ProxyEnvironment proxy_{server_};
    std::ostringstream diagnostics_;
    RecordingObserver observer_;
    Tern::HttpDownloader downloader_;
};

TEST_F(HttpDownloaderTest, FullDownloadReplacesTheTargetWithTheResource) {
    const std::string body = Body(300 * 1024);
    server_.Serve("/patches/patch.bin", body);
    WriteFileBytes(Target("patch"), Body(400 * 1024).substr(7));

    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("patch"), false, &observer_));

    EXPECT_EQ(downloader_.lastResult(), 0);
    EXPECT_EQ(ReadFileBytes(Target("patch")), body);
    ASSERT_EQ(server_.Requests().size(), 1u);
    EXPECT_EQ(server_.Requests()[0].target, kPatchUrl);
    EXPECT_EQ(server_.Requests()[0].range, "");
    ASSERT_FALSE(observer_.reports.empty());
    EXPECT_EQ(observer_.reports.back().fileBytes, body.size());
    EXPECT_EQ(observer_.reports.back().fileReceived, body.size());
    EXPECT_EQ(observer_.TotalBytes, body.size());
    EXPECT_EQ(diagnostics_.str(), "");
}

TEST_F(HttpDownloaderTest, ResumeAsksForTheRestAndRaisesProgressByTheOffset) {
    const std::string body = Body(100);
    server_.Serve("/patches/patch.bin", body);
    WriteFileBytes(Target("patch"), body.substr(0, 40));

    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("patch"), true, &observer_));

    EXPECT_EQ(ReadFileBytes(Target("patch")), body);
    ASSERT_EQ(server_.Requests().size(), 1u);
    EXPECT_EQ(server_.Requests()[0].range, "bytes=40-");
    EXPECT_EQ(diagnostics_.str(), "Resuming from position 40.\n");
    ASSERT_FALSE(observer_.reports.empty());
    for (const Report& report : observer_.reports) {
        EXPECT_GE(report.fileReceived, 40);
        EXPECT_LE(report.fileReceived, report.fileBytes > 40 ? report.fileBytes : 40);
        // Before the answer's headers arrive the size is still unknown and only the offset shows.
        EXPECT_TRUE(report.fileBytes == 100 || report.fileBytes == 40) << report.fileBytes;
    }
    EXPECT_EQ(observer_.reports.back().fileBytes, 100);
    EXPECT_EQ(observer_.reports.back().fileReceived, 100);
}

TEST_F(HttpDownloaderTest, ResumeWithoutAFileStartsAtTheBeginning) {
    const std::string body = Body(5000);
    server_.Serve("/patches/patch.bin", body);

    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("patch"), true, &observer_));

    EXPECT_EQ(ReadFileBytes(Target("patch")), body);
    EXPECT_EQ(diagnostics_.str(), "Resuming from position 0.\n");
    ASSERT_EQ(server_.Requests().size(), 1u);
    EXPECT_EQ(server_.Requests()[0].range, "");
}

// A server answers 416 when the file already holds the whole resource (a run that ended
// between the last byte and its record): the file is fetched again instead of failing forever.
TEST_F(HttpDownloaderTest, AnUnsatisfiableRangeFetchesTheResourceAgain) {
    const std::string body = Body(100);
    server_.Serve("/patches/patch.bin", body);
    WriteFileBytes(Target("patch"), body + "surplus");

    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("patch"), true, &observer_));

    EXPECT_EQ(ReadFileBytes(Target("patch")), body);
    const std::vector<tern_test::RecordedRequest> requests = server_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].range, "bytes=107-");
    EXPECT_EQ(requests[1].range, "");
    EXPECT_EQ(diagnostics_.str(),
              "Resuming from position 107.\n"
              "HTTP server cannot continue the file. Trying again from position 0.\n");
}

TEST_F(HttpDownloaderTest, ResumeOffsetsBeyondFourGibibytesKeepAllTheirBits) {
    // Sparse files: only the tail occupies disk space.
    const uint64_t offset = (uint64_t{1} << 32) + 17;
    const std::string tail = Body(100);
    const std::string resource = env_.Root() + "/resource";
    WriteFileBytes(resource, "");
    std::filesystem::resize_file(resource, offset);
    {
        std::ofstream out(resource, std::ios::binary | std::ios::app);
        out << tail;
    }
    server_.ServeFile("/patches/patch.bin", resource);
    WriteFileBytes(Target("patch"), "");
    std::filesystem::resize_file(Target("patch"), offset);

    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("patch"), true, &observer_));

    EXPECT_EQ(server_.Requests()[0].range, "bytes=" + std::to_string(offset) + "-");
    ASSERT_EQ(std::filesystem::file_size(Target("patch")), offset + tail.size());
    std::ifstream in(Target("patch"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string received(tail.size(), '\0');
    in.read(received.data(), static_cast<std::streamsize>(received.size()));
    EXPECT_EQ(received, tail);
    EXPECT_EQ(observer_.reports.back().fileBytes, static_cast<double>(offset + tail.size()));
}

TEST_F(HttpDownloaderTest, IgnoredRangeTruncatesAndFetchesTheWholeResourceOnce) {
    const std::string body = Body(100);
    RouteOptions options;
    options.ignoreRange = true;
    server_.Serve("/patches/patch.bin", body, options);
    WriteFileBytes(Target("patch"), body.substr(0, 40));

    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("patch"), true, &observer_));

    EXPECT_EQ(ReadFileBytes(Target("patch")), body);
    const std::vector<tern_test::RecordedRequest> requests = server_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].range, "bytes=40-");
    EXPECT_EQ(requests[1].range, "");
    EXPECT_EQ(diagnostics_.str(),
              "Resuming from position 40.\n"
              "HTTP server does not support resuming. Trying again from position 0.\n");
    EXPECT_EQ(observer_.reports.back().fileBytes, 100);
    EXPECT_EQ(observer_.reports.back().fileReceived, 100);
}

TEST_F(HttpDownloaderTest, CutConnectionKeepsTheReceivedBytesForALaterResume) {
    const std::string body = Body(200000);
    RouteOptions cut;
    cut.cutAfter = 50000;
    server_.Serve("/patches/patch.bin", body, cut);

    EXPECT_FALSE(downloader_.download(kPatchUrl, Target("patch"), false, &observer_));

    EXPECT_EQ(downloader_.lastResult(), 18);
    EXPECT_EQ(ReadFileBytes(Target("patch")), body.substr(0, 50000));
    EXPECT_EQ(server_.Requests().size(), 1u);
    EXPECT_NE(downloader_.errorText(), "");
    EXPECT_EQ(diagnostics_.str(), ErrorLine(18));

    server_.Serve("/patches/patch.bin", body);
    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("patch"), true, &observer_));
    EXPECT_EQ(server_.Requests().back().range, "bytes=50000-");
    EXPECT_EQ(ReadFileBytes(Target("patch")), body);
}

TEST_F(HttpDownloaderTest, HttpErrorStatusFailsWithLibcurlsText) {
    for (const int status : {404, 500}) {
        SCOPED_TRACE(status);
        diagnostics_.str("");
        server_.Fail("/patches/patch.bin", status);

        EXPECT_FALSE(downloader_.download(kPatchUrl, Target("patch"), false, &observer_));

        EXPECT_EQ(downloader_.lastResult(), 22);
        EXPECT_NE(downloader_.errorText().find(std::to_string(status)), std::string::npos)
            << downloader_.errorText();
        EXPECT_EQ(ReadFileBytes(Target("patch")), "");
        EXPECT_EQ(diagnostics_.str(), ErrorLine(22));
    }
}

TEST_F(HttpDownloaderTest, UnopenableTargetFailsWithoutAnyRequest) {
    server_.Serve("/patches/patch.bin", Body(100));
    const std::string target = env_.Root() + "/missing/patch";
    for (const bool resume : {false, true}) {
        diagnostics_.str("");

        EXPECT_FALSE(downloader_.download(kPatchUrl, target, resume, &observer_));

        EXPECT_EQ(downloader_.lastResult(), 23);
        EXPECT_EQ(downloader_.errorText(), "Unable to open target file.\n");
        EXPECT_EQ(diagnostics_.str(), "Unable to open target file " + target + ".\n");
    }
    EXPECT_TRUE(server_.Requests().empty());
    EXPECT_TRUE(observer_.reports.empty());
    EXPECT_FALSE(FileExists(target));
}

TEST_F(HttpDownloaderTest, FailedWriteEndsTheTransfer) {
    server_.Serve("/patches/patch.bin", Body(1024 * 1024));

    EXPECT_FALSE(downloader_.download(kPatchUrl, "/dev/full", false, &observer_));

    EXPECT_EQ(downloader_.lastResult(), 23);
    EXPECT_NE(downloader_.errorText(), "");
    EXPECT_NE(downloader_.errorText(), "Unable to open target file.\n");
}

TEST_F(HttpDownloaderTest, ObserverCancelsAndTheReceivedBytesStay) {
    const std::string body = Body(64 * 1024);
    RouteOptions slow;
    slow.chunkBytes = 4096;
    slow.intervalMs = 10;
    server_.Serve("/patches/patch.bin", body, slow);
    observer_.proceed = [](const Report& report) { return report.fileReceived < 8192; };

    EXPECT_FALSE(downloader_.download(kPatchUrl, Target("patch"), false, &observer_));

    EXPECT_EQ(downloader_.lastResult(), 42);
    EXPECT_EQ(diagnostics_.str(), "Download aborted by user.\n" + ErrorLine(42));
    const std::string received = ReadFileBytes(Target("patch"));
    EXPECT_GE(received.size(), 8192u);
    EXPECT_LT(received.size(), body.size());
    EXPECT_EQ(received, body.substr(0, received.size()));
    EXPECT_EQ(observer_.reports.back().fileReceived, received.size());
}

TEST_F(HttpDownloaderTest, StalledServerTimesOut) {
    Tern::testing::OverrideTransferTimeouts({2, 1, 15});
    const std::string body = Body(100000);
    RouteOptions stall;
    stall.stallAfter = 0;
    server_.Serve("/patches/patch.bin", body, stall);

    EXPECT_FALSE(downloader_.download(kPatchUrl, Target("patch"), false, &observer_));

    EXPECT_EQ(downloader_.lastResult(), 28);
    EXPECT_EQ(ReadFileBytes(Target("patch")), "");
}

TEST_F(HttpDownloaderTest, ConsecutiveTransfersShareTheDownloader) {
    const std::string patch = Body(100);
    const std::string answer = "<RESPONSE></RESPONSE>";
    server_.Serve("/patches/patch.bin", patch);
    server_.Serve("/info", answer);
    WriteFileBytes(Target("patch"), patch.substr(0, 40));

    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("patch"), true, &observer_));
    ASSERT_TRUE(downloader_.download("http://updates.example.com/info?gid=7", Target("answer"),
                                     false, nullptr));
    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("copy"), false, nullptr));

    EXPECT_EQ(ReadFileBytes(Target("patch")), patch);
    EXPECT_EQ(ReadFileBytes(Target("answer")), answer);
    EXPECT_EQ(ReadFileBytes(Target("copy")), patch);
    const std::vector<tern_test::RecordedRequest> requests = server_.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].range, "bytes=40-");
    EXPECT_EQ(requests[1].path, "/info");
    EXPECT_EQ(requests[1].query, "gid=7");
    EXPECT_EQ(requests[1].range, "");
    EXPECT_EQ(requests[2].range, "");
}

TEST_F(HttpDownloaderTest, TransfersWorkAgainAfterGlobalCleanup) {
    const std::string body = Body(2000);
    server_.Serve("/patches/patch.bin", body);
    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("first"), false, nullptr));

    Tern::HttpDownloader::GlobalCleanup();
    Tern::HttpDownloader::GlobalCleanup();
    Tern::HttpDownloader next;

    ASSERT_TRUE(next.download(kPatchUrl, Target("second"), false, nullptr));
    EXPECT_EQ(ReadFileBytes(Target("second")), body);
    // A downloader that held its handle across the clean-up still works: the release waits
    // for the last handle.
    ASSERT_TRUE(downloader_.download(kPatchUrl, Target("third"), false, nullptr));
    EXPECT_EQ(ReadFileBytes(Target("third")), body);
}

TEST_F(HttpDownloaderTest, DownloadersOnSeveralThreadsInitialiseTheLibraryOnce) {
    Tern::HttpDownloader::GlobalCleanup();
    const std::string body = Body(50000);
    server_.Serve("/patches/patch.bin", body);
    bool succeeded[3] = {};
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([&, i] {
            Tern::HttpDownloader downloader;
            succeeded[i] =
                downloader.download(kPatchUrl, Target(std::to_string(i)), false, nullptr);
        });
    }
    for (std::thread& worker : workers) worker.join();

    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(succeeded[i]);
        EXPECT_EQ(ReadFileBytes(Target(std::to_string(i))), body);
    }
}

}  // namespace
