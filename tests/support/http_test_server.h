// A local HTTP/1.1 server for integration tests, run as a child process on 127.0.0.1.
//
// Tests tell it per path what to answer (bytes with range support, errors, faults such as an
// ignored range, a cut connection, a slow or stalled body) and read back every request it got.
// Clients reach it directly or as their HTTP proxy (ProxyUrl, ProxyEnvironment), in which
// case any host name works and the request target arrives in absolute form.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace tern_test {

// How the server answers one path.
struct RouteOptions {
    // Anything but 200 answers that status with a short text body.
    int status = 200;
    // Answers 302 (or `status` when it is another) with this Location header.
    std::string location;
    // Answers range requests with 200 and the whole body.
    bool ignoreRange = false;
    // Closes the connection after this many bytes of the response body.
    std::optional<uint64_t> cutAfter;
    // Resets the connection (TCP RST) after this many bytes of the response body.
    std::optional<uint64_t> resetAfter;
    // Sends nothing more after this many bytes of the response body, keeping the connection open
    // until the client gives up.
    std::optional<uint64_t> stallAfter;
    // With intervalMs > 0, sends chunkBytes at a time and pauses intervalMs between chunks.
    uint64_t chunkBytes = 0;
    unsigned intervalMs = 0;
};

struct RecordedRequest {
    std::string method;
    std::string target;  // as sent: origin form "/p?q" or absolute form "http://host/p?q"
    std::string path;
    std::string query;
    std::string range;  // the Range header, empty when absent
};

class HttpTestServer {
public:
    // Keeps its configuration and body files in `workDirectory` (created when missing).
    // Throws std::runtime_error when the server cannot be started.
    explicit HttpTestServer(const std::string& workDirectory);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int Port() const { return port_; }
    std::string ProxyUrl() const;

    // Answers requests for `path` (query ignored) with `body`.
    void Serve(const std::string& path, const std::string& body, const RouteOptions& options = {});
    // Same, reading the body from `file` at each request, so that large bodies stay on disk.
    void ServeFile(const std::string& path, const std::string& file,
                   const RouteOptions& options = {});
    // Answers requests for `path` with `status` (404, 500, ...).
    void Fail(const std::string& path, int status);

    // Every request received so far, oldest first.
    std::vector<RecordedRequest> Requests() const;

private:
    struct Route {
        std::string bodyFile;
        RouteOptions options;
    };

    void WriteConfig() const;

    std::string workDirectory_;
    std::string configPath_;
    std::string logPath_;
    std::map<std::string, Route> routes_;
    int bodyCount_ = 0;
    std::unique_ptr<ChildProcess> process_;
    intptr_t control_ = -1;  // the server's connection, which ends it when closed
    int port_ = 0;
};

// Points libcurl's proxy variable at `server` and clears the proxy exclusions for as long as it
// lives, restoring the previous values afterwards.
class ProxyEnvironment {
public:
    explicit ProxyEnvironment(const HttpTestServer& server);
    ~ProxyEnvironment();
    ProxyEnvironment(const ProxyEnvironment&) = delete;
    ProxyEnvironment& operator=(const ProxyEnvironment&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace tern_test
