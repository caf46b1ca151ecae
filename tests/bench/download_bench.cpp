// A 256 MiB download from nginx on 127.0.0.1 through HttpDownloader with a real host attached
// (progress handling and registry writes included), against the curl command-line tool
// fetching the same file from the same server in the same run.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/bench/bench_support.h"
#include "tests/support/isolated_env.h"
#include "updatelib/transfer/http_downloader.h"

namespace {

constexpr size_t kFileBytes = size_t{256} << 20;
constexpr int kRounds = 3;

double OurDownload(tern_bench::QuietHost& host, const std::string& url, const std::string& target) {
    Tern::UpdateObserver& observer = host.Observer();
    observer.DownloadPath = target;
    observer.SetTotalBytes(0.0);
    Tern::HttpDownloader downloader;
    tern_bench::QuietStderr quiet;
    const auto start = std::chrono::steady_clock::now();
    const bool done = downloader.download(url, target, false, &observer);
    const double seconds = tern_bench::SecondsSince(start);
    return done ? seconds : -1.0;
}

double CurlDownload(const std::string& url, const std::string& target) {
    const auto start = std::chrono::steady_clock::now();
    const int status = tern_bench::RunQuietly({"/usr/bin/curl", "-s", "-f", "-o", target, url});
    const double seconds = tern_bench::SecondsSince(start);
    return status == 0 ? seconds : -1.0;
}

long FileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

}  // namespace

int main() {
    tern_test::IsolatedEnv env;
    // Both clients reach nginx directly, past the test environment's proxy settings.
    setenv("no_proxy", "127.0.0.1", 1);
    const std::string root = env.Root() + "/www";
    mkdir(root.c_str(), 0755);
    tern_bench::WriteLargeFile(root + "/patch.bin", kFileBytes);

    tern_bench::LocalNginx nginx(env.Root() + "/nginx", root);
    if (!nginx.Start()) return 1;
    const std::string url = "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/patch.bin";

    tern_bench::QuietHost host;
    host.StartIdleRun();
    const std::string target = env.TempDir() + "vexBENCH.exe";
    std::vector<double> ours;
    std::vector<double> curl;
    CurlDownload(url, target);  // warms the page cache and the server
    for (int round = 0; round < kRounds; ++round) {
        curl.push_back(CurlDownload(url, target));
        ours.push_back(OurDownload(host, url, target));
    }
    const bool complete = FileSize(target) == static_cast<long>(kFileBytes);
    host.Stop();
    for (double seconds : ours) {
        if (seconds < 0 || !complete) {
            std::fprintf(stderr, "bench: a download failed\n");
            return 1;
        }
    }

    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double mebibytes = kFileBytes / 1048576.0;
    const double ourSeconds = tern_bench::Median(ours);
    const double curlSeconds = tern_bench::Median(curl);
    std::printf("BENCH download_vs_curl %.2f ratio\n", curlSeconds / ourSeconds);
    std::printf("BENCH download_peak_rss %.1f MiB\n", usage.ru_maxrss / 1024.0);
    std::printf("  ours %.0f MiB/s, curl %.0f MiB/s (median of %d rounds, %.0f MiB file)\n",
                mebibytes / ourSeconds, mebibytes / curlSeconds, kRounds, mebibytes);
    return 0;
}
