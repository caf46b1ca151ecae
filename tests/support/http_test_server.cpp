#include "tests/support/http_test_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/isolated_env.h"

extern char** environ;

namespace tern_test {
namespace {

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string JsonRoute(const std::string& bodyFile, const RouteOptions& options) {
    std::ostringstream json;
    json << "{\"body_file\": " << JsonString(bodyFile) << ", \"status\": " << options.status
         << ", \"ignore_range\": " << (options.ignoreRange ? "true" : "false")
         << ", \"chunk_bytes\": " << options.chunkBytes
         << ", \"interval_ms\": " << options.intervalMs;
    if (options.cutAfter) json << ", \"cut_after\": " << *options.cutAfter;
    if (options.stallAfter) json << ", \"stall_after\": " << *options.stallAfter;
    if (options.resetAfter) json << ", \"reset_after\": " << *options.resetAfter;
    json << "}";
    return json.str();
}

// Reads the "PORT <n>" line the server prints once it listens; 0 when it ended before that.
int ReadPort(int fd) {
    std::string line;
    char c;
    while (line.size() < 64) {
        const ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || c == '\n') break;
        line += c;
    }
    int port = 0;
    return std::sscanf(line.c_str(), "PORT %d", &port) == 1 ? port : 0;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

void SetOrUnset(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

}  // namespace

HttpTestServer::HttpTestServer(const std::string& workDirectory)
    : workDirectory_(workDirectory),
      configPath_(workDirectory + "/server-config.json"),
      logPath_(workDirectory + "/server-requests.log") {
    std::filesystem::create_directories(workDirectory_);
    WriteConfig();
    WriteFileBytes(logPath_, "");

    int output[2];
    int input[2];
    if (pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(input, O_CLOEXEC) != 0) {
        close(output[0]);
        close(output[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::string python = TERN_PYTHON3;
    std::string script = TERN_HTTP_TEST_SERVER_SCRIPT;
    char* argv[] = {python.data(), script.data(), configPath_.data(), logPath_.data(), nullptr};
    const int spawned = posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    lifeline_ = input[1];
    if (spawned != 0) {
        pid_ = -1;
        close(output[0]);
        close(lifeline_);
        throw std::runtime_error("cannot start " + python + " for the HTTP test server");
    }
    port_ = ReadPort(output[0]);
    close(output[0]);
    if (port_ == 0) {
        Stop();
        throw std::runtime_error("the HTTP test server did not report its port");
    }
}

HttpTestServer::~HttpTestServer() { Stop(); }

void HttpTestServer::Stop() {
    if (lifeline_ >= 0) close(lifeline_);
    lifeline_ = -1;
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
}

std::string HttpTestServer::ProxyUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string HttpTestServer::Url(const std::string& pathAndQuery) const {
    return ProxyUrl() + pathAndQuery;
}

void HttpTestServer::Serve(const std::string& path, const std::string& body,
                           const RouteOptions& options) {
    const std::string bodyFile = workDirectory_ + "/body-" + std::to_string(++bodyCount_);
    WriteFileBytes(bodyFile, body);
    ServeFile(path, bodyFile, options);
}

void HttpTestServer::ServeFile(const std::string& path, const std::string& file,
                               const RouteOptions& options) {
    routes_[path] = Route{file, options};
    WriteConfig();
}

void HttpTestServer::Fail(const std::string& path, int status) {
    RouteOptions options;
    options.status = status;
    routes_[path] = Route{"", options};
    WriteConfig();
}

std::vector<RecordedRequest> HttpTestServer::Requests() const {
    std::vector<RecordedRequest> requests;
    std::istringstream log(ReadFileBytes(logPath_));
    for (std::string line; std::getline(log, line);) {
        std::vector<std::string> fields = SplitTabs(line);
        fields.resize(5);
        requests.push_back(RecordedRequest{fields[0], fields[1], fields[2], fields[3], fields[4]});
    }
    return requests;
}

// The server reads its configuration at every request; the rename makes each change atomic.
void HttpTestServer::WriteConfig() const {
    std::string json = "{\"routes\": {";
    const char* separator = "";
    for (const auto& [path, route] : routes_) {
        json += separator + JsonString(path) + ": " + JsonRoute(route.bodyFile, route.options);
        separator = ", ";
    }
    json += "}}\n";
    const std::string staging = configPath_ + ".new";
    WriteFileBytes(staging, json);
    std::filesystem::rename(staging, configPath_);
}

ProxyEnvironment::ProxyEnvironment(const HttpTestServer& server) {
    for (const char* name : {"http_proxy", "no_proxy", "NO_PROXY"}) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    SetOrUnset("http_proxy", server.ProxyUrl());
    SetOrUnset("no_proxy", std::nullopt);
    SetOrUnset("NO_PROXY", std::nullopt);
}

ProxyEnvironment::~ProxyEnvironment() {
    for (const auto& [name, value] : saved_) SetOrUnset(name, value);
}

}  // namespace tern_test
