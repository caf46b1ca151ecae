// The service and its connections on the Linux RPC runtime, with stubs written by its NDR codec.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/posix/rpc/ndr.h"
#include "platform/rpc/rpc_client.h"
#include "platform/rpc/rpc_server.h"
#include "updatelib/service/update_service.h"
#include "updatelib/service/update_service_connection.h"

namespace Tern {
namespace {

using platform::rpc::DispatchResult;
using platform::rpc::NdrReader;
using platform::rpc::NdrWriter;
using platform::rpc::RpcErrorKind;

// Operation numbers. No procedure takes inputs: every request stub is empty.
enum class Procedure : uint16_t {
    GetUpdateState = 0,     // answers an NDR long
    GetUpdateResult = 1,    // answers an NDR long
    GetUpdateProgress = 2,  // answers a progress stub
    RequestUpdateStop = 3,  // answers nothing
};

std::string EncodeLongStub(int32_t value) {
    NdrWriter writer;
    writer.I32(value);
    return writer.Take();
}

std::optional<int32_t> DecodeLongStub(std::string_view stub) {
    NdrReader reader(stub);
    const int32_t value = reader.I32();
    if (!reader.Ok()) return std::nullopt;
    return value;
}

// Four doubles, two longs, then the URL and the description as [string] char[65], each cut
// after 64 characters.
std::string EncodeProgressStub(const ProgressSnapshot& progress) {
    NdrWriter writer;
    writer.Double(progress.totalBytes);
    writer.Double(progress.totalReceived);
    writer.Double(progress.fileBytes);
    writer.Double(progress.fileReceived);
    writer.U32(progress.updateCount);
    writer.U32(progress.updateIndex);
    writer.FixedString(progress.url, kProgressTextCapacity);
    writer.FixedString(progress.description, kProgressTextCapacity);
    return writer.Take();
}

std::optional<ProgressSnapshot> DecodeProgressStub(std::string_view stub) {
    NdrReader reader(stub);
    ProgressSnapshot progress;
    progress.totalBytes = reader.Double();
    progress.totalReceived = reader.Double();
    progress.fileBytes = reader.Double();
    progress.fileReceived = reader.Double();
    progress.updateCount = reader.U32();
    progress.updateIndex = reader.U32();
    progress.url = reader.FixedString(kProgressTextCapacity);
    progress.description = reader.FixedString(kProgressTextCapacity);
    if (!reader.Ok()) return std::nullopt;
    return progress;
}

// No procedure takes inputs: a request carries padding at most, and a longer one would only
// hold the service's memory while it arrives.
constexpr size_t kLargestRequestStub = 1024;

// The procedures have no inputs, so whatever a request stub holds is ignored.
DispatchResult Dispatch(UpdateServiceProvider& provider, uint16_t opnum) {
    switch (static_cast<Procedure>(opnum)) {
        case Procedure::GetUpdateState:
            return DispatchResult::Reply(EncodeLongStub(provider.GetUpdateState()));
        case Procedure::GetUpdateResult:
            return DispatchResult::Reply(EncodeLongStub(provider.GetUpdateResult()));
        case Procedure::GetUpdateProgress:
            return DispatchResult::Reply(EncodeProgressStub(provider.GetUpdateProgress()));
        case Procedure::RequestUpdateStop:
            provider.RequestUpdateStop();
            return DispatchResult::Reply("");
    }
    return DispatchResult::Fault(platform::rpc::kOperationRangeError);
}

platform::Unexpected<ServiceFailure> Failure(const platform::rpc::RpcError& error) {
    switch (error.kind) {
        case RpcErrorKind::NotRunning:
            return ServiceFailed(ServiceError::NotRunning, error.detail);
        case RpcErrorKind::TimedOut:
            return ServiceFailed(ServiceError::TimedOut, error.detail);
        default:
            return ServiceFailed(ServiceError::ProtocolError, error.detail);
    }
}

class NdrConnection final : public UpdateServiceConnection {
public:
    explicit NdrConnection(platform::rpc::RpcClient client) : client_(std::move(client)) {}

    ServiceAnswer<int32_t> State() override { return CallLong(Procedure::GetUpdateState); }
    ServiceAnswer<int32_t> Result() override { return CallLong(Procedure::GetUpdateResult); }

    ServiceAnswer<ProgressSnapshot> Progress() override {
        ServiceAnswer<std::string> stub = Call(Procedure::GetUpdateProgress);
        if (!stub) return platform::MakeUnexpected(stub.Error());
        std::optional<ProgressSnapshot> progress = DecodeProgressStub(stub.Value());
        if (!progress) return MalformedAnswer();
        return std::move(*progress);
    }

    ServiceAnswer<std::monostate> RequestStop() override {
        ServiceAnswer<std::string> stub = Call(Procedure::RequestUpdateStop);
        if (!stub) return platform::MakeUnexpected(stub.Error());
        return std::monostate{};
    }

private:
    ServiceAnswer<std::string> Call(Procedure procedure) {
        platform::Expected<std::string, platform::rpc::RpcError> answer =
            client_.Call(static_cast<uint16_t>(procedure), "");
        if (!answer) return Failure(answer.Error());
        return std::move(answer.Value());
    }

    ServiceAnswer<int32_t> CallLong(Procedure procedure) {
        ServiceAnswer<std::string> stub = Call(procedure);
        if (!stub) return platform::MakeUnexpected(stub.Error());
        const std::optional<int32_t> value = DecodeLongStub(stub.Value());
        if (!value) return MalformedAnswer();
        return *value;
    }

    platform::rpc::RpcClient client_;
};

}  // namespace

struct UpdateService::Impl {
    UpdateServiceProvider& provider;
    platform::rpc::RpcServer server;
};

UpdateService::UpdateService(UpdateServiceProvider& provider) : impl_(new Impl{provider, {}}) {}

UpdateService::~UpdateService() = default;

ServiceStartResult UpdateService::Start() {
    UpdateServiceProvider& provider = impl_->provider;
    switch (impl_->server.Start(
        kUpdateServiceEndpoint, kUpdateServiceInterface,
        [&provider](uint16_t opnum, const std::string&) { return Dispatch(provider, opnum); },
        kLargestRequestStub)) {
        case platform::rpc::StartResult::Started:
            return ServiceStartResult::Started;
        case platform::rpc::StartResult::EndpointInUse:
            return ServiceStartResult::EndpointInUse;
        case platform::rpc::StartResult::AlreadyStarted:
            return ServiceStartResult::AlreadyStarted;
        case platform::rpc::StartResult::Unusable:
            break;
    }
    return ServiceStartResult::Unusable;
}

void UpdateService::Stop() { impl_->server.Stop(); }

void UpdateService::WaitForCalls(const std::function<void()>& whileWaiting) {
    impl_->server.WaitForCalls(whileWaiting);
}

ServiceAnswer<std::unique_ptr<UpdateServiceConnection>> ConnectToUpdateService(
    std::chrono::milliseconds timeout) {
    platform::Expected<platform::rpc::RpcClient, platform::rpc::RpcError> connected =
        platform::rpc::RpcClient::Connect(kUpdateServiceEndpoint, kUpdateServiceInterface, timeout);
    if (!connected) return Failure(connected.Error());
    return std::unique_ptr<UpdateServiceConnection>(
        new NdrConnection(std::move(connected.Value())));
}

}  // namespace Tern
