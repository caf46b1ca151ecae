#include "tests/support/http_test_server.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

    // The server ends when its standard input does: with this object, or with this process.
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        TERN_PYTHON3, TERN_HTTP_TEST_SERVER_SCRIPT, configPath_, logPath_});
    const std::optional<std::string> announcement = process_->ReadLine();
    if (!announcement || std::sscanf(announcement->c_str(), "PORT %d", &port_) != 1) {
        throw std::runtime_error("the HTTP test server did not start");
    }
}

HttpTestServer::~HttpTestServer() = default;

std::string HttpTestServer::ProxyUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

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
