#include "platform/posix/rpc/local_endpoint.h"

#include <fcntl.h>

#include <cstring>

#include "platform/files.h"

namespace platform::rpc {
namespace {

bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

}  // namespace

std::optional<LocalEndpoint> LocalEndpoint::Resolve(const std::string& endpoint) {
    if (!IsPlainFileName(endpoint)) return std::nullopt;
    const std::string directory = RuntimeDirectory();
    if (directory.empty()) return std::nullopt;
    LocalEndpoint resolved;
    resolved.directory_ = UniqueFd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!resolved.directory_.Valid()) return std::nullopt;
    resolved.path_ = directory + "/" + endpoint;
    std::string reachable = resolved.path_;
    if (reachable.size() >= sizeof resolved.address_.sun_path) {
        reachable = "/proc/self/fd/" + std::to_string(resolved.directory_.Get()) + "/" + endpoint;
        if (reachable.size() >= sizeof resolved.address_.sun_path) return std::nullopt;
    }
    resolved.address_.sun_family = AF_UNIX;
    std::memcpy(resolved.address_.sun_path, reachable.c_str(), reachable.size() + 1);
    return resolved;
}

}  // namespace platform::rpc
