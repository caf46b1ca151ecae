#include "platform/rpc/rpc_client.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/posix/rpc/local_endpoint.h"
#include "platform/posix/rpc/pdu.h"

namespace platform::rpc {
namespace {

constexpr uint32_t kBindCallId = 1;

Unexpected<RpcError> Failure(RpcErrorKind kind, std::string detail) {
    return MakeUnexpected(RpcError{kind, 0, std::move(detail)});
}

RpcError ReadFailure(ReadStatus status, std::chrono::milliseconds timeout) {
    switch (status) {
        case ReadStatus::Closed:
            return {RpcErrorKind::NotRunning, 0, "the server closed the connection"};
        case ReadStatus::TimedOut:
            return {RpcErrorKind::TimedOut, 0,
                    "nothing came from the server for " + std::to_string(timeout.count()) + " ms"};
        case ReadStatus::Truncated:
            return {RpcErrorKind::ProtocolError, 0, "the connection ended inside a PDU"};
        case ReadStatus::BadHeader:
            return {RpcErrorKind::ProtocolError, 0, "the server sent a malformed PDU header"};
        default:
            return {RpcErrorKind::ProtocolError, 0,
                    std::string("receive failed: ") + std::strerror(errno)};
    }
}

std::string FaultText(uint32_t status) {
    char text[32];
    std::snprintf(text, sizeof text, "fault 0x%08x", status);
    return text;
}

Expected<UniqueFd, RpcError> ConnectSocket(const std::string& endpoint,
                                           std::chrono::milliseconds timeout) {
    const std::optional<LocalEndpoint> address = LocalEndpoint::Resolve(endpoint);
    if (!address) {
        return Failure(RpcErrorKind::NotRunning, "no endpoint \"" + endpoint + "\" can exist");
    }
    UniqueFd socketFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socketFd.Valid()) {
        return Failure(RpcErrorKind::ProtocolError,
                       std::string("no socket: ") + std::strerror(errno));
    }
    // The send timeout also bounds connect, when the server's listen queue is full.
    if (!SetSendTimeout(socketFd.Get(), timeout)) {
        return Failure(RpcErrorKind::ProtocolError,
                       std::string("no socket timeout: ") + std::strerror(errno));
    }
    int result;
    do {
        result = connect(socketFd.Get(), address->Address(), address->AddressLength());
    } while (result != 0 && errno == EINTR);
    if (result == 0) return socketFd;
    if (errno == ENOENT || errno == ECONNREFUSED) {
        return Failure(RpcErrorKind::NotRunning, "nothing listens on " + address->Path());
    }
    if (errno == EAGAIN) return Failure(RpcErrorKind::TimedOut, "the server takes no connection");
    return Failure(RpcErrorKind::ProtocolError,
                   "cannot connect to " + address->Path() + ": " + std::strerror(errno));
}

}  // namespace

RpcClient::RpcClient(UniqueFd socket, std::chrono::milliseconds timeout)
    : socket_(std::move(socket)), channel_(socket_.Get()), timeout_(timeout) {}

Expected<RpcClient, RpcError> RpcClient::Connect(const std::string& endpoint,
                                                 const SyntaxId& interface,
                                                 std::chrono::milliseconds timeout) {
    Expected<UniqueFd, RpcError> socketFd = ConnectSocket(endpoint, timeout);
    if (!socketFd) return MakeUnexpected(socketFd.Error());
    RpcClient client(std::move(socketFd.Value()), timeout);
    const Bind bind{kLargestFragment, kLargestFragment, 0, {{0, interface, {kNdr20}}}};
    client.lastCallId_ = kBindCallId;
    if (!client.channel_.Write(EncodeBind(PduType::Bind, kBindCallId, bind))) {
        return Failure(RpcErrorKind::NotRunning, "the server closed the connection");
    }
    const ReadStatus status = client.channel_.Read(client.Limits());
    if (status != ReadStatus::Pdu) return MakeUnexpected(ReadFailure(status, timeout));
    const std::string_view pdu = client.channel_.LastPdu();
    if (const std::optional<uint16_t> reason = DecodeBindNak(pdu)) {
        return Failure(RpcErrorKind::Refused,
                       "the server refused the bind, reason " + std::to_string(*reason));
    }
    const std::optional<BindAck> ack = DecodeBindAck(pdu);
    if (!ack || ack->results.empty() || client.channel_.LastHeader().callId != kBindCallId) {
        return Failure(RpcErrorKind::ProtocolError, "the server's answer to the bind is malformed");
    }
    if (ack->results.front().result != kAcceptance) {
        return Failure(RpcErrorKind::Refused, "the server does not offer the interface, reason " +
                                                  std::to_string(ack->results.front().reason));
    }
    client.maxTransmit_ = std::clamp(ack->maxReceiveFragment, kMinimumFragment, kLargestFragment);
    return client;
}

Expected<std::string, RpcError> RpcClient::Call(uint16_t opnum, std::string_view requestStub) {
    if (!socket_.Valid()) {
        return Failure(RpcErrorKind::NotRunning, "the connection was closed after an error");
    }
    const uint32_t callId = ++lastCallId_;
    if (!channel_.Write(EncodeRequest(callId, 0, opnum, requestStub, maxTransmit_))) {
        return Break(RpcErrorKind::NotRunning, "the server closed the connection");
    }
    std::string stub;
    for (bool first = true;; first = false) {
        const ReadStatus status = channel_.Read(Limits());
        if (status != ReadStatus::Pdu) {
            const RpcError error = ReadFailure(status, timeout_);
            return Break(error.kind, error.detail);
        }
        const Header& header = channel_.LastHeader();
        if (header.callId != callId) {
            return Break(RpcErrorKind::ProtocolError, "the server answered another call");
        }
        if (header.type == PduType::Fault) {
            const std::optional<Fault> fault = DecodeFault(channel_.LastPdu());
            if (!fault) return Break(RpcErrorKind::ProtocolError, "malformed fault");
            return MakeUnexpected(
                RpcError{RpcErrorKind::Fault, fault->status, FaultText(fault->status)});
        }
        const std::optional<Response> response = DecodeResponse(channel_.LastPdu());
        if (!response || first != ((header.flags & kFirstFragment) != 0)) {
            return Break(RpcErrorKind::ProtocolError, "malformed response");
        }
        if (response->stub.size() > kLargestStub - stub.size()) {
            return Break(RpcErrorKind::ProtocolError, "the response is too large");
        }
        stub.append(response->stub);
        if ((header.flags & kLastFragment) != 0) return stub;
    }
}

// Whatever the server sends next can no longer be told apart from an answer to a later call.
Expected<std::string, RpcError> RpcClient::Break(RpcErrorKind kind, std::string detail) {
    socket_.Reset();
    return Failure(kind, std::move(detail));
}

ReadLimits RpcClient::Limits() const { return ReadLimits{kLargestFragment, timeout_, timeout_}; }

}  // namespace platform::rpc
