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
#include "platform/posix/rpc/pdu_channel.h"
#include "platform/posix/unique_fd.h"

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

struct RpcClient::Impl {
    Impl(UniqueFd socket, std::chrono::milliseconds timeout)
        : socket(std::move(socket)), channel(this->socket.Get()), timeout(timeout) {}

    // Whatever the server sends next can no longer be told apart from an answer to a later call.
    Expected<std::string, RpcError> Break(RpcErrorKind kind, std::string detail) {
        socket.Reset();
        return Failure(kind, std::move(detail));
    }

    ReadLimits Limits() const { return ReadLimits{kLargestFragment, timeout, timeout}; }

    UniqueFd socket;
    PduChannel channel;
    std::chrono::milliseconds timeout;
    uint32_t lastCallId = 0;
    size_t maxTransmit = kMinimumFragment;
};

RpcClient::RpcClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RpcClient::RpcClient(RpcClient&&) noexcept = default;
RpcClient& RpcClient::operator=(RpcClient&&) noexcept = default;
RpcClient::~RpcClient() = default;

Expected<RpcClient, RpcError> RpcClient::Connect(const std::string& endpoint,
                                                 const SyntaxId& interface,
                                                 std::chrono::milliseconds timeout) {
    Expected<UniqueFd, RpcError> socketFd = ConnectSocket(endpoint, timeout);
    if (!socketFd) return MakeUnexpected(socketFd.Error());
    auto client = std::make_unique<Impl>(std::move(socketFd.Value()), timeout);
    const Bind bind{kLargestFragment, kLargestFragment, 0, {{0, interface, {kNdr20}}}};
    client->lastCallId = kBindCallId;
    if (!client->channel.Write(EncodeBind(PduType::Bind, kBindCallId, bind))) {
        return Failure(RpcErrorKind::NotRunning, "the server closed the connection");
    }
    const ReadStatus status = client->channel.Read(client->Limits());
    if (status != ReadStatus::Pdu) return MakeUnexpected(ReadFailure(status, timeout));
    const std::string_view pdu = client->channel.LastPdu();
    if (const std::optional<uint16_t> reason = DecodeBindNak(pdu)) {
        return Failure(RpcErrorKind::Refused,
                       "the server refused the bind, reason " + std::to_string(*reason));
    }
    const std::optional<BindAck> ack = DecodeBindAck(pdu);
    if (!ack || ack->results.empty() || client->channel.LastHeader().callId != kBindCallId) {
        return Failure(RpcErrorKind::ProtocolError, "the server's answer to the bind is malformed");
    }
    if (ack->results.front().result != kAcceptance) {
        return Failure(RpcErrorKind::Refused, "the server does not offer the interface, reason " +
                                                  std::to_string(ack->results.front().reason));
    }
    client->maxTransmit = std::clamp(ack->maxReceiveFragment, kMinimumFragment, kLargestFragment);
    return RpcClient(std::move(client));
}

Expected<std::string, RpcError> RpcClient::Call(uint16_t opnum, std::string_view requestStub) {
    if (!impl_ || !impl_->socket.Valid()) {
        return Failure(RpcErrorKind::NotRunning, "the connection was closed after an error");
    }
    Impl& client = *impl_;
    const uint32_t callId = ++client.lastCallId;
    if (!client.channel.Write(EncodeRequest(callId, 0, opnum, requestStub, client.maxTransmit))) {
        return client.Break(RpcErrorKind::NotRunning, "the server closed the connection");
    }
    std::string stub;
    for (bool first = true;; first = false) {
        const ReadStatus status = client.channel.Read(client.Limits());
        if (status != ReadStatus::Pdu) {
            const RpcError error = ReadFailure(status, client.timeout);
            return client.Break(error.kind, error.detail);
        }
        const Header& header = client.channel.LastHeader();
        if (header.callId != callId) {
            return client.Break(RpcErrorKind::ProtocolError, "the server answered another call");
        }
        if (header.type == PduType::Fault) {
            const std::optional<Fault> fault = DecodeFault(client.channel.LastPdu());
            if (!fault) return client.Break(RpcErrorKind::ProtocolError, "malformed fault");
            return MakeUnexpected(
                RpcError{RpcErrorKind::Fault, fault->status, FaultText(fault->status)});
        }
        const std::optional<Response> response = DecodeResponse(client.channel.LastPdu());
        if (!response || first != ((header.flags & kFirstFragment) != 0)) {
            return client.Break(RpcErrorKind::ProtocolError, "malformed response");
        }
        if (response->stub.size() > kLargestStub - stub.size()) {
            return client.Break(RpcErrorKind::ProtocolError, "the response is too large");
        }
        stub.append(response->stub);
        if ((header.flags & kLastFragment) != 0) return stub;
    }
}

}  // namespace platform::rpc
