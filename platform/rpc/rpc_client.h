// A client of a local DCE/RPC server: one connection, bound to one interface, one call at a
// time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/expected.h"
#include "platform/rpc/syntax_id.h"

namespace platform::rpc {

enum class RpcErrorKind {
    NotRunning,     // nothing serves the endpoint, or the server closed the connection
    Refused,        // the server does not offer the interface
    Fault,          // the server answered the call with a fault status
    TimedOut,       // the server did not answer in time
    ProtocolError,  // the server's answer was not well-formed
};

struct RpcError {
    RpcErrorKind kind;
    uint32_t faultStatus = 0;  // with Fault
    std::string detail;        // for people
};

class RpcClient {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

    // Connects to `endpoint` in the runtime directory and binds to `interface`. Every wait for
    // the server, here and in each call, ends after `timeout`.
    static Expected<RpcClient, RpcError> Connect(
        const std::string& endpoint, const SyntaxId& interface,
        std::chrono::milliseconds timeout = kDefaultTimeout);

    RpcClient(RpcClient&&) noexcept;
    RpcClient& operator=(RpcClient&&) noexcept;
    ~RpcClient();

    // The response stub of procedure `opnum`. After a fault the connection stays usable; after
    // any other failure every further call fails with NotRunning.
    Expected<std::string, RpcError> Call(uint16_t opnum, std::string_view requestStub);

private:
    struct Impl;
    explicit RpcClient(std::unique_ptr<Impl> impl);

    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::rpc
