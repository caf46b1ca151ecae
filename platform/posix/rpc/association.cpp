#include "platform/posix/rpc/association.h"

#include <algorithm>
#include <utility>

namespace platform::rpc {
namespace {

// A peer may announce any size; what it can take is at least the protocol's minimum.
uint16_t ClampFragment(uint16_t size) {
    return std::clamp(size, kMinimumFragment, kLargestFragment);
}

bool Offers(const PresentationContext& context, const SyntaxId& syntax) {
    return std::find(context.transferSyntaxes.begin(), context.transferSyntaxes.end(), syntax) !=
           context.transferSyntaxes.end();
}

}  // namespace

Association::Association(const SyntaxId& interface, std::string secondaryAddress, uint32_t group,
                         size_t maxStub, CallRunner runCall, StubHolder holdStub)
    : interface_(interface),
      secondaryAddress_(std::move(secondaryAddress)),
      group_(group),
      maxStub_(std::min(maxStub, kLargestStub)),
      runCall_(std::move(runCall)),
      holdStub_(std::move(holdStub)) {}

bool Association::Handle(const Header& header, std::string_view pdu, std::string& out) {
    switch (header.type) {
        case PduType::Bind:
            return HandleBind(header, pdu, out);
        case PduType::AlterContext:
            return HandleAlterContext(header, pdu, out);
        case PduType::Request:
            return HandleRequest(header, pdu, out);
        case PduType::Cancel:
            return true;  // calls always run to their end: there is nothing to cancel
        case PduType::Orphaned:
            pending_.reset();
            holdStub_(0);
            return true;
        default:
            return Fail(header, out);
    }
}

void Association::Reject(const Header& header, HeaderProblem problem, std::string& out) const {
    if (problem == HeaderProblem::Version && header.type == PduType::Bind) {
        out += EncodeBindNak(header.callId, kProtocolVersionNotSupported);
    } else {
        Fail(header, out);
    }
}

bool Association::Fail(const Header& header, std::string& out) const {
    out += EncodeFault(header.callId, kDidNotExecute, Fault{0, kProtocolError});
    return false;
}

bool Association::HandleBind(const Header& header, std::string_view pdu, std::string& out) {
    const std::optional<Bind> bind = DecodeBind(pdu);
    if (bound_ || !bind || bind->contexts.empty() || header.authLength != 0) {
        // This runtime offers no authentication; a client that asks for it must not go on
        // believing it has some.
        out +=
            EncodeBindNak(header.callId, header.authLength != 0 ? kAuthenticationTypeNotRecognized
                                                                : kReasonNotSpecified);
        return false;
    }
    bound_ = true;
    maxReceive_ = ClampFragment(bind->maxTransmitFragment);
    maxTransmit_ = ClampFragment(bind->maxReceiveFragment);
    if (bind->associationGroup != 0) group_ = bind->associationGroup;
    const BindAck ack{static_cast<uint16_t>(maxTransmit_), static_cast<uint16_t>(maxReceive_),
                      group_, secondaryAddress_, Negotiate(bind->contexts)};
    out += EncodeBindAck(PduType::BindAck, header.callId, ack);
    return true;
}

bool Association::HandleAlterContext(const Header& header, std::string_view pdu, std::string& out) {
    const std::optional<Bind> alter = DecodeBind(pdu);
    if (!bound_ || !alter || header.authLength != 0) return Fail(header, out);
    const BindAck ack{static_cast<uint16_t>(maxTransmit_), static_cast<uint16_t>(maxReceive_),
                      group_, "", Negotiate(alter->contexts)};
    out += EncodeBindAck(PduType::AlterContextResponse, header.callId, ack);
    return true;
}

std::vector<ContextResult> Association::Negotiate(
    const std::vector<PresentationContext>& contexts) {
    std::vector<ContextResult> results;
    for (const PresentationContext& context : contexts) {
        const SyntaxId& proposed = context.abstractSyntax;
        ContextResult result{kProviderRejection, kAbstractSyntaxNotSupported, SyntaxId{}};
        if (proposed.uuid == interface_.uuid && proposed.major == interface_.major &&
            proposed.minor <= interface_.minor) {
            if (Offers(context, kNdr20)) {
                result = ContextResult{kAcceptance, kReasonNotSpecified, kNdr20};
                if (!IsAccepted(context.id)) acceptedContexts_.push_back(context.id);
            } else {
                result.reason = kTransferSyntaxesNotSupported;
            }
        }
        results.push_back(result);
    }
    return results;
}

bool Association::IsAccepted(uint16_t contextId) const {
    return std::find(acceptedContexts_.begin(), acceptedContexts_.end(), contextId) !=
           acceptedContexts_.end();
}

bool Association::HandleRequest(const Header& header, std::string_view pdu, std::string& out) {
    const std::optional<Request> request = DecodeRequest(pdu);
    if (!bound_ || !request || header.authLength != 0) return Fail(header, out);
    const bool first = (header.flags & kFirstFragment) != 0;
    const bool last = (header.flags & kLastFragment) != 0;
    // A first fragment while another call is being assembled, or a follow-up to none.
    if (first == pending_.has_value()) return Fail(header, out);
    if (first) {
        pending_ = PendingCall{header.callId, request->contextId, request->opnum, {}};
    } else if (header.callId != pending_->callId) {
        return Fail(header, out);
    }
    const size_t held = pending_->stub.size();
    if (request->stub.size() > maxStub_ - held) return Fail(header, out);
    // A call in one fragment runs at once; only one waiting for more keeps bytes of its own.
    if (!last && !holdStub_(held + request->stub.size())) return Fail(header, out);
    pending_->stub.append(request->stub);
    if (!last) return true;
    const PendingCall call = std::move(*pending_);
    pending_.reset();
    const bool open = RunCall(call, out);
    if (!first) holdStub_(0);
    return open;
}

bool Association::RunCall(const PendingCall& call, std::string& out) {
    if (!IsAccepted(call.contextId)) {
        out += EncodeFault(call.callId, kDidNotExecute, Fault{call.contextId, kUnknownInterface});
        return true;
    }
    const std::optional<DispatchResult> result = runCall_(call.opnum, call.stub);
    if (!result) {
        out += EncodeFault(call.callId, kDidNotExecute, Fault{call.contextId, kUnknownInterface});
        return false;
    }
    if (result->fault) {
        const uint8_t flags = result->faultStatus == kOperationRangeError ? kDidNotExecute : 0;
        out += EncodeFault(call.callId, flags, Fault{call.contextId, result->faultStatus});
        return true;
    }
    out += EncodeResponse(call.callId, call.contextId, result->stub, maxTransmit_);
    return true;
}

}  // namespace platform::rpc
