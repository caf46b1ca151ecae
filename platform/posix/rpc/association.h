// The server side of one client connection: negotiates fragment sizes and presentation
// contexts, reassembles fragmented requests, runs calls and answers every PDU the protocol
// expects an answer to. Knows nothing of sockets: it turns received PDUs into reply bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/rpc/pdu.h"
#include "platform/rpc/dispatch.h"

namespace platform::rpc {

class Association {
public:
    // Runs one call; nullopt when the server no longer takes calls.
    using CallRunner =
        std::function<std::optional<DispatchResult>(uint16_t opnum, const std::string& stub)>;
    // Told how many stub bytes a call spread over several fragments holds (0 once it has run);
    // false refuses to keep them, and with them the call.
    using StubHolder = std::function<bool(size_t bytes)>;

    // `secondaryAddress` is what bind_ack names (the endpoint); `group` the association group
    // given to a client that asks for a new one (nonzero); `maxStub` the largest request stub
    // the interface takes.
    Association(const SyntaxId& interface, std::string secondaryAddress, uint32_t group,
                size_t maxStub, CallRunner runCall, StubHolder holdStub);

    // The largest fragment the client may send now.
    size_t MaxReceiveFragment() const { return maxReceive_; }
    // Whether a call has begun whose last fragment is still to come.
    bool CallPending() const { return pending_.has_value(); }

    // Handles one whole PDU and appends the replies to `out`. False when the connection must
    // be closed after `out` is sent.
    bool Handle(const Header& header, std::string_view pdu, std::string& out);
    // Answers a header that CheckHeader refused; the connection is then closed.
    void Reject(const Header& header, HeaderProblem problem, std::string& out) const;

private:
    struct PendingCall {
        uint32_t callId = 0;
        uint16_t contextId = 0;
        uint16_t opnum = 0;
        std::string stub;
    };

    bool HandleBind(const Header& header, std::string_view pdu, std::string& out);
    bool HandleAlterContext(const Header& header, std::string_view pdu, std::string& out);
    bool HandleRequest(const Header& header, std::string_view pdu, std::string& out);
    bool RunCall(const PendingCall& call, std::string& out);
    std::vector<ContextResult> Negotiate(const std::vector<PresentationContext>& contexts);
    bool IsAccepted(uint16_t contextId) const;
    bool Fail(const Header& header, std::string& out) const;

    SyntaxId interface_;
    std::string secondaryAddress_;
    uint32_t group_;
    size_t maxStub_;
    CallRunner runCall_;
    StubHolder holdStub_;
    bool bound_ = false;
    size_t maxReceive_ = kLargestFragment;
    size_t maxTransmit_ = kMinimumFragment;
    std::vector<uint16_t> acceptedContexts_;
    std::optional<PendingCall> pending_;
};

}  // namespace platform::rpc
