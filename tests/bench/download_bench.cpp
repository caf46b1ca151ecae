// A 256 MiB download from nginx on 127.0.0.1 through HttpDownloader with a real host attached
// (progress handling and registry writes included), against the curl command-line tool
// fetching the same file from the same server in the same run.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/bench/bench_support.h"
#include "tests/support/isolated_env.h"
#include "updatelib/install/http_downloader.h"

namespace {

constexpr size_t kFileBytes = size_t{256} << 20;
constexpr int kRounds = 3;

// A minimal nginx serving `root` on the port, everything else inside `prefix`.
std::string NginxConfig(const std::string& prefix, const std::string& root, int port) {
    std::string config = getuid() == 0 ? "user root;\n" : "";
    config +=
        "daemon off;\nworker_processes 1;\npid " + prefix + "nginx.pid;\nerror_log " + prefix +
        "error.log;\nevents { worker_connections 64; }\nhttp {\n"
        "  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
        "  client_body_temp_path " +
        prefix + "body;\n  proxy_temp_path " + prefix + "proxy;\n  fastcgi_temp_path " + prefix +
        "fastcgi;\n  uwsgi_temp_path " + prefix + "uwsgi;\n  scgi_temp_path " + prefix +
        "scgi;\n"
        "  server {\n    listen 127.0.0.1:" +
        std::to_string(port) + ";\n    root " + root + ";\n  }\n}\n";
    return config;
}

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
    unsetenv("no_proxy");
    const std::string prefix = env.Root() + "/nginx/";
    const std::string root = env.Root() + "/www";
    mkdir(prefix.c_str(), 0700);
    mkdir(root.c_str(), 0755);
    tern_bench::WriteLargeFile(root + "/patch.bin", kFileBytes);

    const int port = tern_bench::FreeLoopbackPort();
    std::ofstream(prefix + "nginx.conf") << NginxConfig(prefix, root, port);
    const pid_t nginx =
        tern_bench::StartQuietly({"/usr/sbin/nginx", "-p", prefix, "-c", prefix + "nginx.conf"});
    if (nginx < 0 || !tern_bench::WaitForPort(port, std::chrono::seconds(10))) {
        std::fprintf(stderr, "bench: nginx did not start (see %serror.log)\n", prefix.c_str());
        tern_bench::StopProcess(nginx);
        return 1;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/patch.bin";

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
    tern_bench::StopProcess(nginx);
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
