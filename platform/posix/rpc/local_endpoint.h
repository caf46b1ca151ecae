// Where a local RPC endpoint lives: a Unix socket named after the endpoint in the runtime
// directory, the layout other local RPC implementations use for "ncalrpc".
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <optional>
#include <string>

#include "platform/posix/unique_fd.h"

namespace platform::rpc {

class LocalEndpoint {
public:
    // nullopt when `endpoint` is not a plain file name or no runtime directory is usable.
    static std::optional<LocalEndpoint> Resolve(const std::string& endpoint);

    const std::string& Path() const { return path_; }
    // The runtime directory, open.
    int Directory() const { return directory_.Get(); }
    // What to bind or connect to. A path too long for a socket address is reached through
    // the open directory instead.
    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address_); }
    socklen_t AddressLength() const { return sizeof address_; }

private:
    std::string path_;
    UniqueFd directory_;
    sockaddr_un address_{};
};

}  // namespace platform::rpc
