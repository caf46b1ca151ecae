// The PDUs of the connection-oriented DCE/RPC protocol, version 5.0, little-endian: the common
// header, bind / alter_context and their answers, request, response and fault. Decoders take a
// whole PDU (header included) as it came off the wire and check every length against it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rpc/dispatch.h"
#include "platform/rpc/syntax_id.h"

namespace platform::rpc {

enum class PduType : uint8_t {
    Request = 0,
    Response = 2,
    Fault = 3,
    Bind = 11,
    BindAck = 12,
    BindNak = 13,
    AlterContext = 14,
    AlterContextResponse = 15,
    Auth3 = 16,
    Shutdown = 17,
    Cancel = 18,
    Orphaned = 19,
};

// Header flags.
constexpr uint8_t kFirstFragment = 0x01;
constexpr uint8_t kLastFragment = 0x02;
constexpr uint8_t kDidNotExecute = 0x20;
constexpr uint8_t kObjectUuid = 0x80;

constexpr size_t kHeaderSize = 16;
// Header, allocation hint, context id and opnum (request) or cancel count (response).
constexpr size_t kCallHeaderSize = 24;
// Every peer must accept fragments of this size.
constexpr uint16_t kMinimumFragment = 1432;
// The largest fragment this runtime sends or accepts.
constexpr uint16_t kLargestFragment = 5840;

// Fault statuses.
constexpr uint32_t kUnknownInterface = 0x1c010003;
constexpr uint32_t kProtocolError = 0x1c01000b;

// Per-context results of a bind and their reasons.
constexpr uint16_t kAcceptance = 0;
constexpr uint16_t kProviderRejection = 2;
constexpr uint16_t kReasonNotSpecified = 0;
constexpr uint16_t kAbstractSyntaxNotSupported = 1;
constexpr uint16_t kTransferSyntaxesNotSupported = 2;

// Reasons of a bind_nak.
constexpr uint16_t kProtocolVersionNotSupported = 4;
constexpr uint16_t kAuthenticationTypeNotRecognized = 8;

struct Header {
    uint8_t versionMajor = 5;
    uint8_t versionMinor = 0;
    PduType type = PduType::Request;
    uint8_t flags = kFirstFragment | kLastFragment;
    // Integer and character representation, floating-point representation, two reserved.
    std::array<uint8_t, 4> dataRepresentation{0x10, 0, 0, 0};
    uint16_t fragmentLength = 0;
    uint16_t authLength = 0;
    uint32_t callId = 0;
};

// The first kHeaderSize bytes; nullopt when fewer arrived.
std::optional<Header> DecodeHeader(std::string_view bytes);

enum class HeaderProblem { None, Version, DataRepresentation, Length };
// Version 5.0 or 5.1, little-endian ASCII IEEE data, a fragment length from the header's own
// size up to `maxFragment`.
HeaderProblem CheckHeader(const Header& header, size_t maxFragment);

struct PresentationContext {
    uint16_t id = 0;
    SyntaxId abstractSyntax;
    std::vector<SyntaxId> transferSyntaxes;
};

// bind and alter_context.
struct Bind {
    uint16_t maxTransmitFragment = 0;
    uint16_t maxReceiveFragment = 0;
    uint32_t associationGroup = 0;
    std::vector<PresentationContext> contexts;
};

struct ContextResult {
    uint16_t result = kAcceptance;
    uint16_t reason = kReasonNotSpecified;
    SyntaxId transferSyntax;
};

// bind_ack and alter_context_resp.
struct BindAck {
    uint16_t maxTransmitFragment = 0;
    uint16_t maxReceiveFragment = 0;
    uint32_t associationGroup = 0;
    std::string secondaryAddress;
    std::vector<ContextResult> results;
};

struct Request {
    uint32_t allocHint = 0;
    uint16_t contextId = 0;
    uint16_t opnum = 0;
    std::string_view stub;  // points into the decoded PDU
};

struct Response {
    uint32_t allocHint = 0;
    uint16_t contextId = 0;
    uint8_t cancelCount = 0;
    std::string_view stub;  // points into the decoded PDU
};

struct Fault {
    uint16_t contextId = 0;
    uint32_t status = 0;
};

// `type` is Bind or AlterContext.
std::string EncodeBind(PduType type, uint32_t callId, const Bind& bind);
// `type` is BindAck or AlterContextResponse.
std::string EncodeBindAck(PduType type, uint32_t callId, const BindAck& ack);
// Names 5.0 as the only supported protocol version.
std::string EncodeBindNak(uint32_t callId, uint16_t reason);
// The stub split into as many request fragments as fragments of `maxFragment` bytes need,
// one after the other.
std::string EncodeRequest(uint32_t callId, uint16_t contextId, uint16_t opnum,
                          std::string_view stub, size_t maxFragment);
// Likewise for a response.
std::string EncodeResponse(uint32_t callId, uint16_t contextId, std::string_view stub,
                           size_t maxFragment);
// `flags` adds to the first and last fragment flags, e.g. kDidNotExecute.
std::string EncodeFault(uint32_t callId, uint8_t flags, const Fault& fault);

std::optional<Bind> DecodeBind(std::string_view pdu);
std::optional<BindAck> DecodeBindAck(std::string_view pdu);
// The reason.
std::optional<uint16_t> DecodeBindNak(std::string_view pdu);
std::optional<Request> DecodeRequest(std::string_view pdu);
std::optional<Response> DecodeResponse(std::string_view pdu);
std::optional<Fault> DecodeFault(std::string_view pdu);

}  // namespace platform::rpc
