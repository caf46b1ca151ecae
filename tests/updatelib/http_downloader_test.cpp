#include "updatelib/transfer/http_downloader.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>

#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/download_progress_observer.h"
#include "updatelib/transfer/transfer_limits.h"

namespace tern_test {
namespace {

const char kUrl[] = "http://downloads.example.com/patch.bin";

class RecordingObserver final : public Tern::DownloadProgressObserver {
public:
    bool OnProgress(double, double, double fileBytes, double fileReceived) override {
        reports.push_back({fileBytes, fileReceived});
        return fileReceived < cancelAt;
    }

    std::vector<std::vector<double>> reports;
    double cancelAt = 1e18;
};

RouteOptions Moved(const std::string& location) { return Route(&RouteOptions::location, location); }

class HttpDownloaderTest : public IsolatedTest {
protected:
    ~HttpDownloaderTest() override { Tern::testing::RestoreTransferTimeouts(); }

    std::string Target(const std::string& name) const { return env_.TempDir() + name; }
    // The ranges of the requests the server got, from the `from`th on.
    std::vector<std::string> Ranges(size_t from = 0) const {
        std::vector<std::string> ranges;
        for (const auto& request : server_.Requests()) ranges.push_back(request.range);
        return std::vector<std::string>(ranges.begin() + from, ranges.end());
    }

    HttpTestServer server_{env_.Root() + "/http"};
    ProxyEnvironment proxy_{server_};
    CapturedDiagnostics diagnostics_;
    const std::string body_ = RandomBytes(200000);
};

// What a transfer asks for, keeps and answers, whatever the server does. A resumed transfer
// counts the bytes on disk as received; a range the server cannot or will not serve fetches the
// file again whole. Redirects (a CDN's) are followed, asking each place for the same rest, but
// not beyond five, not to another protocol, and a redirect's own page is never stored.
TEST_F(HttpDownloaderTest, TransfersResumeRefetchOrFailAsTheServerAnswers) {
    Tern::testing::OverrideTransferTimeouts({2, 1, 15});  // a stall ends within a second
    for (int hop = 1; hop <= 5; ++hop) {
        server_.Serve("/r" + std::to_string(hop), "", Moved("/r" + std::to_string(hop - 1)));
    }
    server_.Serve("/r0", body_);
    const std::string head = body_.substr(0, 40000);
    const RouteOptions ignored = Route(&RouteOptions::ignoreRange, true);
    const RouteOptions cut = Route(&RouteOptions::cutAfter, 50000);
    const RouteOptions nowhere = Route(&RouteOptions::status, 302);  // no Location
    const std::vector<std::string> sixFresh(6), sixResumed(6, "bytes=40000-");
    // The target, its bytes before, the route, resume, the result, the ranges asked for, the
    // target's bytes after (nullopt: not read).
    const std::tuple<const char*, std::optional<std::string>, RouteOptions, bool, int,
                     std::vector<std::string>, std::optional<std::string>>
        cases[] = {
            {"fresh", body_ + "longer", {}, false, 0, {""}, body_},
            {"resumed", head, {}, true, 0, {"bytes=40000-"}, body_},
            {"resumed without a file", std::nullopt, {}, true, 0, {""}, body_},
            {"holding all and more", body_ + "x", {}, true, 0, {"bytes=200001-", ""}, body_},
            {"range ignored", head, ignored, true, 0, {"bytes=40000-", ""}, body_},
            {"cut", std::nullopt, cut, false, 18, {""}, body_.substr(0, 50000)},
            {"HTTP error", head, Route(&RouteOptions::status, 404), false, 22, {""}, ""},
            {"stalled",
             head,
             Route(&RouteOptions::stallAfter, 0),
             true,
             28,
             {"bytes=40000-"},
             head},
            {"redirected", head, Moved("/r4"), true, 0, sixResumed, body_},
            {"redirected six times", head, Moved("/r5"), false, 47, sixFresh, ""},
            {"redirected to ftp", head, Moved("ftp://a/r0"), true, 1, {"bytes=40000-"}, head},
            {"redirect nowhere", head, nowhere, true, 22, {"bytes=40000-"}, head},
            {"redirect nowhere anew", head, nowhere, false, 22, {""}, ""},
            {"missing/directory", std::nullopt, {}, true, 23, {}, std::nullopt},
#ifndef _WIN32
            {"/dev/full", std::nullopt, {}, false, 23, {""}, std::nullopt},
#endif
        };
    for (const auto& [name, before, route, resume, result, ranges, after] : cases) {
        SCOPED_TRACE(name);
        const std::string target = name[0] == '/' ? name : Target(name);
        if (before) WriteFileBytes(target, *before);
        server_.Serve("/patch.bin", body_, route);
        const size_t requestsBefore = server_.Requests().size();
        RecordingObserver observer;
        Tern::HttpDownloader downloader;

        EXPECT_EQ(downloader.download(kUrl, target, resume, &observer), result == 0);

        EXPECT_EQ(downloader.lastResult(), result);
        EXPECT_EQ(Ranges(requestsBefore), ranges);
        EXPECT_EQ(FileExists(target), !ranges.empty());
        EXPECT_TRUE(!after || ReadFileBytes(target) == *after);
        if (result != 0) continue;
        ASSERT_FALSE(observer.reports.empty());
        EXPECT_EQ(observer.reports.back(), std::vector<double>(2, body_.size()));
    }
}

TEST_F(HttpDownloaderTest, TheObserverCancelsAndTheReceivedBytesStay) {
    server_.Serve("/patch.bin", body_, Slow(4096, 10));
    RecordingObserver observer;
    observer.cancelAt = 8192;
    Tern::HttpDownloader downloader;

    EXPECT_FALSE(downloader.download(kUrl, Target("patch"), false, &observer));

    EXPECT_EQ(downloader.lastResult(), Tern::kAbortedByCallback);
    const std::string received = ReadFileBytes(Target("patch"));
    EXPECT_GE(received.size(), 8192u);
    EXPECT_LT(received.size(), body_.size());
    EXPECT_EQ(received, body_.substr(0, received.size()));
    EXPECT_EQ(observer.reports.back()[1], received.size());
}

TEST_F(HttpDownloaderTest, ResumeOffsetsBeyondFourGibibytesKeepAllTheirBits) {
    // Sparse files: only the tail occupies disk space.
    const uint64_t offset = (uint64_t{1} << 32) + 17;
    const std::string tail = body_.substr(0, 100);
    const std::string resource = env_.Root() + "/resource";
    for (const std::string& file : {resource, Target("patch")}) {
        WriteFileBytes(file, "");
        std::filesystem::resize_file(file, offset);
    }
    std::ofstream(resource, std::ios::binary | std::ios::app) << tail;
    server_.ServeFile("/patch.bin", resource);
    RecordingObserver observer;

    ASSERT_TRUE(Tern::HttpDownloader().download(kUrl, Target("patch"), true, &observer));

    EXPECT_EQ(Ranges(), std::vector<std::string>{"bytes=" + std::to_string(offset) + "-"});
    std::ifstream in(Target("patch"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), tail);
    EXPECT_EQ(observer.reports.back()[0], static_cast<double>(offset + tail.size()));
}

// The handle keeps its options from one transfer to the next, and the HTTP library's global
// state is released and set up again while downloaders come and go on several threads.
TEST_F(HttpDownloaderTest, TransfersFollowEarlierTransfersAndTheGlobalCleanup) {
    server_.Serve("/patch.bin", body_);
    WriteFileBytes(Target("resumed"), body_.substr(0, 40));
    {
        Tern::HttpDownloader first;
        ASSERT_TRUE(first.download(kUrl, Target("resumed"), true, nullptr));
        Tern::HttpDownloader::GlobalCleanup();  // waits for the handle of `first`
        Tern::HttpDownloader::GlobalCleanup();
        ASSERT_TRUE(first.download(kUrl, Target("fresh"), false, nullptr));
    }
    std::vector<std::thread> workers;
    for (const char* name : {"0", "1", "2"}) {
        workers.emplace_back([this, name] {
            EXPECT_TRUE(Tern::HttpDownloader().download(kUrl, Target(name), false, nullptr));
        });
    }
    for (std::thread& worker : workers) worker.join();

    EXPECT_EQ(Ranges(), (std::vector<std::string>{"bytes=40-", "", "", "", ""}));
    for (const char* name : {"resumed", "fresh", "0", "1", "2"}) {
        EXPECT_EQ(ReadFileBytes(Target(name)), body_) << name;
    }
}

}  // namespace
}  // namespace tern_test
