#include "tests/bench/bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <thread>

#include "updatelib/host/debugger_stream.h"
#include "updatelib/host/diagnostic_channel.h"

namespace tern_bench {

void QuietHost::OnFinished(int32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    signal_.notify_all();
}

void QuietHost::StartIdleRun() {
    setenv("http_proxy", "http://127.0.0.1:1", 1);
    Tern::LibraryChannel().SetDiagnosticStream(&Tern::GetDebuggerStream());
    {
        QuietStderr quiet;
        Start("bench", "Software\\Norland\\Skyreach\\GameUpdate", "us");
        std::unique_lock<std::mutex> lock(mutex_);
        signal_.wait(lock, [this] { return finished_; });
    }
    WaitForWorker();
    unsetenv("http_proxy");
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

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> figures) {
    std::sort(figures.begin(), figures.end());
    return figures[figures.size() / 2];
}

}  // namespace tern_bench
