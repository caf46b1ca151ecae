#include "tests/bench/bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "launcher/launcher_config.h"
#include "platform/registry/registry_values.h"
#include "updatelib/base/debugger_stream.h"
#include "updatelib/base/diagnostic_channel.h"

namespace tern_bench {

bool QuietHost::ConfirmRunUpdates() {
    ++runQuestions_;
    return false;
}

void QuietHost::OnFinished(int32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    signal_.notify_all();
}

void QuietHost::RunUpdate(const std::string& gameId, const std::string& registryKeyPath) {
    Tern::LibraryChannel().SetDiagnosticStream(&Tern::GetDebuggerStream());
    {
        QuietStderr quiet;
        Start(gameId, registryKeyPath, "us", "Skyreach");
        std::unique_lock<std::mutex> lock(mutex_);
        signal_.wait(lock, [this] { return finished_; });
    }
    WaitForThreads();
}

void QuietHost::StartIdleRun() {
    const char* previous = std::getenv("http_proxy");
    const std::string saved = previous ? previous : "";
    setenv("http_proxy", "http://127.0.0.1:1", 1);
    RunUpdate("bench", "Software\\Norland\\Skyreach\\GameUpdate");
    if (previous) {
        setenv("http_proxy", saved.c_str(), 1);
    } else {
        unsetenv("http_proxy");
    }
}

QuietStderr::QuietStderr() : saved_(dup(STDERR_FILENO)) {
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDERR_FILENO);
    close(devNull);
}

QuietStderr::~QuietStderr() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
}

void WriteLargeFile(const std::string& path, size_t bytes) {
    std::mt19937_64 random(7);
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (size_t written = 0; written < bytes;) {
        for (uint64_t& word : block) word = random();
        const size_t chunk = std::min(bytes - written, block.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
        written += chunk;
    }
}

pid_t StartQuietly(const std::vector<std::string>& arguments) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

int RunQuietly(const std::vector<std::string>& arguments) {
    const pid_t pid = StartQuietly(arguments);
    if (pid < 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

void StopProcess(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool WaitForPort(int port, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

LocalNginx::LocalNginx(const std::string& prefix, const std::string& root,
                       const std::string& serverDirectives)
    : prefix_(prefix.back() == '/' ? prefix : prefix + "/"),
      root_(root),
      serverDirectives_(serverDirectives),
      port_(FreeLoopbackPort()) {}

LocalNginx::~LocalNginx() { StopProcess(pid_); }

bool LocalNginx::Start() {
    mkdir(prefix_.c_str(), 0700);
    std::string config = getuid() == 0 ? "user root;\n" : "";
    config += "daemon off;\nworker_processes 1;\npid " + prefix_ + "nginx.pid;\n";
    config += "error_log " + prefix_ + "error.log;\nevents { worker_connections 64; }\n";
    config += "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n";
    for (const char* temporaries : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        config += std::string("  ") + temporaries + "_temp_path " + prefix_ + temporaries + ";\n";
    }
    config += "  server {\n    listen 127.0.0.1:" + std::to_string(port_) + ";\n";
    config += "    root " + root_ + ";\n" + serverDirectives_ + "  }\n}\n";
    std::ofstream(prefix_ + "nginx.conf") << config;
    pid_ = StartQuietly({"/usr/sbin/nginx", "-p", prefix_, "-c", prefix_ + "nginx.conf"});
    if (pid_ > 0 && WaitForPort(port_, std::chrono::seconds(10))) return true;
    std::fprintf(stderr, "bench: nginx did not start (see %serror.log)\n", prefix_.c_str());
    return false;
}

void UseLoopbackProxy(int port) {
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
}

bool WriteLauncherInstallation(const std::string& gameId) {
    using platform::Hive;
    return platform::WriteRegistryString(Hive::LocalMachine, launcher::UpdateKeyPath(), "info",
                                         gameId) == 0 &&
           platform::WriteRegistryString(Hive::LocalMachine, launcher::GameKeyPath(), "Language",
                                         "english") == 0;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> figures) {
    std::sort(figures.begin(), figures.end());
    return figures[figures.size() / 2];
}

std::string FigureList(const std::vector<double>& figures, int decimals) {
    std::string list;
    char figure[64];
    for (double value : figures) {
        std::snprintf(figure, sizeof figure, "%.*f", decimals, value);
        if (!list.empty()) list += ' ';
        list += figure;
    }
    return list;
}

}  // namespace tern_bench
