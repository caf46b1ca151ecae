#include "tests/support/http_test_server.h"

#ifdef _WIN32
#include <winsock2.h>
// after winsock2.h, which must come first
#include <windows.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "tests/support/isolated_env.h"

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
    if (!options.location.empty()) json << ", \"location\": " << JsonString(options.location);
    if (options.cutAfter) json << ", \"cut_after\": " << *options.cutAfter;
    if (options.stallAfter) json << ", \"stall_after\": " << *options.stallAfter;
    if (options.resetAfter) json << ", \"reset_after\": " << *options.resetAfter;
    json << "}";
    return json.str();
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

#ifdef _WIN32
// The Windows test programs run under Wine, which starts the build machine's interpreter and
// hands it the arguments as they are: the paths the server reads and writes are given in the
// build machine's form.
std::string ServerPath(const std::string& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
    const std::wstring wide(path.begin(), path.end());
    char* const unixPath = path.empty() || !toUnix ? nullptr : toUnix(wide.c_str());
    if (!unixPath) return path;
    const std::string converted = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return converted;
}

using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;

void CloseSocket(Socket socket) { closesocket(socket); }

// No program the test starts may hold the connection open after the test let go of it.
Socket NotInherited(Socket socket) {
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    return socket;
}

Socket NewSocket() {
    static WSADATA data;
    static const bool started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return started ? NotInherited(socket(AF_INET, SOCK_STREAM, 0)) : kNoSocket;
}

Socket Accept(Socket listener) { return NotInherited(accept(listener, nullptr, nullptr)); }
#else
std::string ServerPath(const std::string& path) { return path; }

using Socket = int;
constexpr Socket kNoSocket = -1;

void CloseSocket(Socket socket) { close(socket); }
Socket NewSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
Socket Accept(Socket listener) { return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }
#endif

// Starts the server, which connects to a port of this process on 127.0.0.1 and announces its own
// there: its connection and its port, or kNoSocket when it did not come within a generous limit
// (which fails the test instead of hanging it).
std::pair<Socket, int> StartServer(std::vector<std::string> argv,
                                   std::unique_ptr<ChildProcess>* process) {
    const Socket listener = NewSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    timeval limit{30, 0};
    if (listener == kNoSocket ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        CloseSocket(listener);  // harmless for kNoSocket
        return {kNoSocket, 0};
    }
    argv.push_back(std::to_string(ntohs(address.sin_port)));
    *process = std::make_unique<ChildProcess>(argv);
    const Socket control = (*process)->Started() && select(static_cast<int>(listener) + 1, &ready,
                                                           nullptr, nullptr, &limit) == 1
                               ? Accept(listener)
                               : kNoSocket;
    CloseSocket(listener);
    char announcement[12] = {};  // "PORT nnnnn\n"
    int port = 0;
    if (control != kNoSocket && recv(control, announcement, 11, MSG_WAITALL) == 11 &&
        std::sscanf(announcement, "PORT %d", &port) == 1) {
        return {control, port};
    }
    if (control != kNoSocket) CloseSocket(control);
    return {kNoSocket, 0};
}

}  // namespace

HttpTestServer::HttpTestServer(const std::string& workDirectory)
    : workDirectory_(workDirectory),
      configPath_(workDirectory + platform::kPathSeparator + "server-config.json"),
      logPath_(workDirectory + platform::kPathSeparator + "server-requests.log") {
    std::filesystem::create_directories(workDirectory_);
    WriteConfig();
    WriteFileBytes(logPath_, "");

    // The server ends when its control connection does: with this object, or with this process.
    std::tie(control_, port_) = StartServer(
        {TERN_PYTHON3, TERN_HTTP_TEST_SERVER_SCRIPT, ServerPath(configPath_), ServerPath(logPath_)},
        &process_);
    if (port_ == 0) throw std::runtime_error("the HTTP test server did not start");
}

HttpTestServer::~HttpTestServer() {
    if (static_cast<Socket>(control_) != kNoSocket) CloseSocket(static_cast<Socket>(control_));
}

std::string HttpTestServer::ProxyUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

void HttpTestServer::Serve(const std::string& path, const std::string& body,
                           const RouteOptions& options) {
    const std::string bodyFile =
        workDirectory_ + platform::kPathSeparator + "body-" + std::to_string(++bodyCount_);
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
        json += separator + JsonString(path) + ": " +
                JsonRoute(ServerPath(route.bodyFile), route.options);
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
    SetVariable("http_proxy", server.ProxyUrl());
    SetVariable("no_proxy", std::nullopt);
    SetVariable("NO_PROXY", std::nullopt);
}

ProxyEnvironment::~ProxyEnvironment() {
    for (const auto& [name, value] : saved_) SetVariable(name, value);
}

}  // namespace tern_test
