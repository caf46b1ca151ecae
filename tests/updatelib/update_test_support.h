// What the update library's tests share: the game's update key, announced patches and faulty
// routes, the stored record of the patch's download, and diagnostic channels kept off the console.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry/registry_values.h"
#include "tests/support/http_test_server.h"
#include "tests/support/isolated_env.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/transfer/patch_checksum.h"

namespace tern_test {

inline const std::string kUpdateKey = "Software\\Norland\\Skyreach\\GameUpdate";
// The product the tests' launcher runs patches of.
inline const std::string kProduct = "Skyreach";

inline std::string RandomBytes(size_t size, unsigned seed = 42) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

inline std::string ChecksumTextOf(const std::string& bytes) {
    Tern::PatchChecksum checksum;
    checksum.Update(bytes.data(), bytes.size());
    return Tern::ChecksumText(checksum.Value());
}

// The update-information answer announcing one patch; empty fields are left out.
inline std::string Answer(const std::string& size, const std::string& url, const std::string& crc,
                          const std::string& replacesLauncher = "FALSE") {
    std::string xml = "<?xml version=\"1.0\"?>\n<RESPONSE>";
    if (!size.empty()) xml += "<PatchSize><VALUE>" + size + "</VALUE></PatchSize>";
    if (!url.empty()) xml += "<PatchUrl><VALUE>" + url + "</VALUE></PatchUrl>";
    if (!crc.empty()) xml += "<PatchCRC><VALUE>" + crc + "</VALUE></PatchCRC>";
    return xml + "<PatchGameUpdate><VALUE>" + replacesLauncher +
           "</VALUE></PatchGameUpdate></RESPONSE>\n";
}

// A route with one option set, e.g. Route(&RouteOptions::cutAfter, 1000).
template <typename Field, typename Value>
RouteOptions Route(Field RouteOptions::*field, Value value) {
    RouteOptions options;
    options.*field = value;
    return options;
}

inline RouteOptions Slow(uint64_t chunkBytes, unsigned intervalMs) {
    RouteOptions options = Route(&RouteOptions::chunkBytes, chunkBytes);
    options.intervalMs = intervalMs;
    return options;
}

// The path in the record of the patch's download when the record starts with the state prefix
// `prefix` ("R "); empty otherwise. With no prefix: the whole record.
inline std::string StoredPatch(const std::string& prefix = "") {
    const std::string record =
        platform::ReadRegistryText(platform::Hive::CurrentUser, kUpdateKey + "\\UpdateFiles",
                                   "Patch", 4096)
            .value_or("");
    return record.compare(0, prefix.size(), prefix) == 0 ? record.substr(prefix.size()) : "";
}

inline ::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "'" << part << "' is not in:\n" << text;
}

// Collects what a diagnostic channel writes while it lives.
class CapturedDiagnostics : public std::ostringstream {
public:
    explicit CapturedDiagnostics(Tern::DiagnosticChannel& channel = Tern::LibraryChannel())
        : channel_(channel) {
        channel_.SetDiagnosticStream(this);
    }
    ~CapturedDiagnostics() override { channel_.SetDiagnosticStream(&std::cerr); }

private:
    Tern::DiagnosticChannel& channel_;
};

}  // namespace tern_test
