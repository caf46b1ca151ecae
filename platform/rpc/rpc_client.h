// A client of a local DCE/RPC server: one connection, bound to one interface, one call at a
// time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/expected.h"
#include "platform/posix/rpc/pdu_channel.h"
#include "platform/posix/unique_fd.h"
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

    RpcClient(RpcClient&&) noexcept = default;
    RpcClient& operator=(RpcClient&&) noexcept = default;

    // The response stub of procedure `opnum`. After a fault the connection stays usable; after
    // any other failure every further call fails with NotRunning.
    Expected<std::string, RpcError> Call(uint16_t opnum, std::string_view requestStub);

private:
    RpcClient(UniqueFd socket, std::chrono::milliseconds timeout);
    Expected<std::string, RpcError> Break(RpcErrorKind kind, std::string detail);
    ReadLimits Limits() const;

    UniqueFd socket_;
    PduChannel channel_;
    std::chrono::milliseconds timeout_;
    uint32_t lastCallId_ = 0;
    size_t maxTransmit_ = kMinimumFragment;
};

}  // namespace platform::rpc
