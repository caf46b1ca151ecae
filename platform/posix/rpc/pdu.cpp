#include "platform/posix/rpc/pdu.h"

#include <algorithm>

#include "platform/posix/rpc/ndr.h"

namespace platform::rpc {
namespace {

constexpr size_t kFragmentLengthOffset = 8;
// The trailer in front of the authentication data: type, level, pad length, reserved, id.
constexpr size_t kAuthTrailerSize = 8;
constexpr size_t kWireFragmentLimit = 0xffff;

NdrWriter StartPdu(PduType type, uint8_t flags, uint32_t callId) {
    const Header header;
    NdrWriter writer;
    writer.U8(header.versionMajor);
    writer.U8(header.versionMinor);
    writer.U8(static_cast<uint8_t>(type));
    writer.U8(flags);
    for (const uint8_t byte : header.dataRepresentation) writer.U8(byte);
    writer.U16(0);  // fragment length, set by FinishPdu
    writer.U16(0);  // no authentication
    writer.U32(callId);
    return writer;
}

void FinishPdu(NdrWriter& writer, std::string& out) {
    writer.PatchU16(kFragmentLengthOffset, static_cast<uint16_t>(writer.Size()));
    out += writer.Take();
}

// A reader over the body of a PDU of type `type`: from the end of the common header to the
// start of the authentication trailer, if any. Offsets stay relative to the PDU's start, so
// that alignment within the body is right.
struct Body {
    Header header;
    NdrReader reader;
};

std::optional<Body> OpenBody(std::string_view pdu, PduType type) {
    const std::optional<Header> header = DecodeHeader(pdu);
    if (!header || header->type != type || header->fragmentLength != pdu.size()) {
        return std::nullopt;
    }
    size_t end = pdu.size();
    if (header->authLength != 0) {
        const size_t trailer = kAuthTrailerSize + header->authLength;
        if (trailer > end - kHeaderSize) return std::nullopt;
        end -= trailer;
    }
    Body body{*header, NdrReader(pdu.substr(0, end))};
    body.reader.Bytes(kHeaderSize);
    return body;
}

// The stub cut into fragments of `maxFragment` bytes at most; every part but the last a
// multiple of 8 bytes, so that the stub's alignment survives reassembly. `writeFields` writes
// what comes between the allocation hint and the stub.
template <typename WriteFields>
std::string Fragmented(PduType type, uint32_t callId, std::string_view stub, size_t maxFragment,
                       WriteFields writeFields) {
    const size_t room = (std::min(maxFragment, kWireFragmentLimit) - kCallHeaderSize) & ~size_t{7};
    std::string out;
    size_t offset = 0;
    do {
        const std::string_view part = stub.substr(offset, room);
        const uint8_t flags = (offset == 0 ? kFirstFragment : 0) |
                              (offset + part.size() == stub.size() ? kLastFragment : 0);
        NdrWriter writer = StartPdu(type, flags, callId);
        writer.U32(static_cast<uint32_t>(stub.size() - offset));
        writeFields(writer);
        writer.Bytes(part);
        FinishPdu(writer, out);
        offset += part.size();
    } while (offset < stub.size());
    return out;
}

}  // namespace

std::optional<Header> DecodeHeader(std::string_view bytes) {
    NdrReader reader(bytes);
    Header header;
    header.versionMajor = reader.U8();
    header.versionMinor = reader.U8();
    header.type = static_cast<PduType>(reader.U8());
    header.flags = reader.U8();
    for (uint8_t& byte : header.dataRepresentation) byte = reader.U8();
    header.fragmentLength = reader.U16();
    header.authLength = reader.U16();
    header.callId = reader.U32();
    if (!reader.Ok()) return std::nullopt;
    return header;
}

HeaderProblem CheckHeader(const Header& header, size_t maxFragment) {
    if (header.versionMajor != 5 || header.versionMinor > 1) return HeaderProblem::Version;
    const Header expected;
    // Little-endian integers with ASCII characters, and IEEE floating point.
    if (header.dataRepresentation[0] != expected.dataRepresentation[0] ||
        header.dataRepresentation[1] != expected.dataRepresentation[1]) {
        return HeaderProblem::DataRepresentation;
    }
    if (header.fragmentLength < kHeaderSize || header.fragmentLength > maxFragment) {
        return HeaderProblem::Length;
    }
    return HeaderProblem::None;
}

std::string EncodeBind(PduType type, uint32_t callId, const Bind& bind) {
    NdrWriter writer = StartPdu(type, kFirstFragment | kLastFragment, callId);
    writer.U16(bind.maxTransmitFragment);
    writer.U16(bind.maxReceiveFragment);
    writer.U32(bind.associationGroup);
    writer.U8(static_cast<uint8_t>(bind.contexts.size()));
    writer.U8(0);
    writer.U16(0);
    for (const PresentationContext& context : bind.contexts) {
        writer.U16(context.id);
        writer.U8(static_cast<uint8_t>(context.transferSyntaxes.size()));
        writer.U8(0);
        writer.Syntax(context.abstractSyntax);
        for (const SyntaxId& syntax : context.transferSyntaxes) writer.Syntax(syntax);
    }
    std::string out;
    FinishPdu(writer, out);
    return out;
}

std::string EncodeBindAck(PduType type, uint32_t callId, const BindAck& ack) {
    NdrWriter writer = StartPdu(type, kFirstFragment | kLastFragment, callId);
    writer.U16(ack.maxTransmitFragment);
    writer.U16(ack.maxReceiveFragment);
    writer.U32(ack.associationGroup);
    // The length counts the terminating zero; an empty address is sent as length 0 alone.
    const std::string_view address = ack.secondaryAddress;
    writer.U16(static_cast<uint16_t>(address.empty() ? 0 : address.size() + 1));
    if (!address.empty()) {
        writer.Bytes(address);
        writer.U8(0);
    }
    writer.Align(4);
    writer.U8(static_cast<uint8_t>(ack.results.size()));
    writer.U8(0);
    writer.U16(0);
    for (const ContextResult& result : ack.results) {
        writer.U16(result.result);
        writer.U16(result.reason);
        writer.Syntax(result.transferSyntax);
    }
    std::string out;
    FinishPdu(writer, out);
    return out;
}

std::string EncodeBindNak(uint32_t callId, uint16_t reason) {
    NdrWriter writer = StartPdu(PduType::BindNak, kFirstFragment | kLastFragment, callId);
    writer.U16(reason);
    writer.U8(1);  // one supported version: 5.0
    writer.U8(5);
    writer.U8(0);
    writer.Align(4);
    std::string out;
    FinishPdu(writer, out);
    return out;
}

std::string EncodeRequest(uint32_t callId, uint16_t contextId, uint16_t opnum,
                          std::string_view stub, size_t maxFragment) {
    return Fragmented(PduType::Request, callId, stub, maxFragment, [&](NdrWriter& writer) {
        writer.U16(contextId);
        writer.U16(opnum);
    });
}

std::string EncodeResponse(uint32_t callId, uint16_t contextId, std::string_view stub,
                           size_t maxFragment) {
    return Fragmented(PduType::Response, callId, stub, maxFragment, [&](NdrWriter& writer) {
        writer.U16(contextId);
        writer.U8(0);  // cancel count
        writer.U8(0);
    });
}

std::string EncodeFault(uint32_t callId, uint8_t flags, const Fault& fault) {
    NdrWriter writer = StartPdu(PduType::Fault, kFirstFragment | kLastFragment | flags, callId);
    writer.U32(0);  // allocation hint: no stub follows
    writer.U16(fault.contextId);
    writer.U8(0);  // cancel count
    writer.U8(0);
    writer.U32(fault.status);
    writer.U32(0);
    std::string out;
    FinishPdu(writer, out);
    return out;
}

std::optional<Bind> DecodeBind(std::string_view pdu) {
    std::optional<Body> body = OpenBody(pdu, PduType::Bind);
    if (!body) body = OpenBody(pdu, PduType::AlterContext);
    if (!body) return std::nullopt;
    NdrReader& reader = body->reader;
    Bind bind;
    bind.maxTransmitFragment = reader.U16();
    bind.maxReceiveFragment = reader.U16();
    bind.associationGroup = reader.U32();
    const uint8_t contexts = reader.U8();
    reader.Bytes(3);
    for (uint8_t i = 0; i < contexts && reader.Ok(); ++i) {
        PresentationContext context;
        context.id = reader.U16();
        const uint8_t syntaxes = reader.U8();
        reader.U8();
        context.abstractSyntax = reader.Syntax();
        for (uint8_t j = 0; j < syntaxes && reader.Ok(); ++j) {
            context.transferSyntaxes.push_back(reader.Syntax());
        }
        bind.contexts.push_back(std::move(context));
    }
    if (!reader.Ok()) return std::nullopt;
    return bind;
}

std::optional<BindAck> DecodeBindAck(std::string_view pdu) {
    std::optional<Body> body = OpenBody(pdu, PduType::BindAck);
    if (!body) body = OpenBody(pdu, PduType::AlterContextResponse);
    if (!body) return std::nullopt;
    NdrReader& reader = body->reader;
    BindAck ack;
    ack.maxTransmitFragment = reader.U16();
    ack.maxReceiveFragment = reader.U16();
    ack.associationGroup = reader.U32();
    const std::string_view address = reader.Bytes(reader.U16());
    ack.secondaryAddress = std::string(address.substr(0, address.find('\0')));
    reader.Align(4);
    const uint8_t results = reader.U8();
    reader.Bytes(3);
    for (uint8_t i = 0; i < results && reader.Ok(); ++i) {
        ContextResult result;
        result.result = reader.U16();
        result.reason = reader.U16();
        result.transferSyntax = reader.Syntax();
        ack.results.push_back(result);
    }
    if (!reader.Ok()) return std::nullopt;
    return ack;
}

std::optional<uint16_t> DecodeBindNak(std::string_view pdu) {
    std::optional<Body> body = OpenBody(pdu, PduType::BindNak);
    if (!body) return std::nullopt;
    const uint16_t reason = body->reader.U16();
    if (!body->reader.Ok()) return std::nullopt;
    return reason;
}

std::optional<Request> DecodeRequest(std::string_view pdu) {
    std::optional<Body> body = OpenBody(pdu, PduType::Request);
    if (!body) return std::nullopt;
    NdrReader& reader = body->reader;
    Request request;
    request.allocHint = reader.U32();
    request.contextId = reader.U16();
    request.opnum = reader.U16();
    if (body->header.flags & kObjectUuid) reader.Bytes(sizeof(Uuid));
    request.stub = reader.Bytes(reader.Remaining());
    if (!reader.Ok()) return std::nullopt;
    return request;
}

std::optional<Response> DecodeResponse(std::string_view pdu) {
    std::optional<Body> body = OpenBody(pdu, PduType::Response);
    if (!body) return std::nullopt;
    NdrReader& reader = body->reader;
    Response response;
    response.allocHint = reader.U32();
    response.contextId = reader.U16();
    response.cancelCount = reader.U8();
    reader.U8();
    response.stub = reader.Bytes(reader.Remaining());
    if (!reader.Ok()) return std::nullopt;
    return response;
}

std::optional<Fault> DecodeFault(std::string_view pdu) {
    std::optional<Body> body = OpenBody(pdu, PduType::Fault);
    if (!body) return std::nullopt;
    NdrReader& reader = body->reader;
    reader.U32();  // allocation hint
    Fault fault;
    fault.contextId = reader.U16();
    reader.Bytes(2);  // cancel count, reserved
    fault.status = reader.U32();
    if (!reader.Ok()) return std::nullopt;
    return fault;
}

}  // namespace platform::rpc
