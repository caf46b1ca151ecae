#include "updatelib/service/update_service_client.h"

#include <utility>

#include "platform/named_event.h"

namespace Tern {
namespace {

using platform::MakeUnexpected;
using platform::rpc::RpcErrorKind;

platform::Unexpected<ServiceFailure> Failure(ServiceError error, std::string detail) {
    return MakeUnexpected(ServiceFailure{error, std::move(detail)});
}

platform::Unexpected<ServiceFailure> Failure(const platform::rpc::RpcError& error) {
    switch (error.kind) {
        case RpcErrorKind::NotRunning:
            return Failure(ServiceError::NotRunning, error.detail);
        case RpcErrorKind::TimedOut:
            return Failure(ServiceError::TimedOut, error.detail);
        default:
            return Failure(ServiceError::ProtocolError, error.detail);
    }
}

platform::Unexpected<ServiceFailure> MalformedAnswer() {
    return Failure(ServiceError::ProtocolError, "the service's answer is malformed");
}

}  // namespace

const char* StateMeaning(int32_t state) {
    switch (state) {
        case 1:
            return "removing the files of earlier updates";
        case 2:
            return "asking for update information";
        case 3:
            return "reading the update information";
        case 4:
            return "downloading updates";
        case kRunEndedState:
            return "the run has ended";
        case 6:
            return "running updates";
        default:
            return "unknown state";
    }
}

const char* ResultMeaning(int32_t result) {
    switch (result) {
        case 0:
            return "done";
        case 1:
            return "done: the update replaces the launcher";
        case 2:
            return "no update found";
        case 3:
            return "failed";
        case 4:
            return "download incomplete, kept to resume later";
        case 5:
            return "stopped by the player or a stop request";
        case 6:
            return "finish requested";
        case 7:
            return "error";
        default:
            return "unknown result";
    }
}

UpdateServiceClient::UpdateServiceClient(std::chrono::milliseconds timeout) : timeout_(timeout) {}

ServiceAnswer<int32_t> UpdateServiceClient::State() {
    return InvokeLong(UpdateServiceProcedure::GetUpdateState);
}

ServiceAnswer<int32_t> UpdateServiceClient::Result() {
    return InvokeLong(UpdateServiceProcedure::GetUpdateResult);
}

ServiceAnswer<ProgressSnapshot> UpdateServiceClient::Progress() {
    ServiceAnswer<std::string> stub = Invoke(UpdateServiceProcedure::GetUpdateProgress);
    if (!stub) return MakeUnexpected(stub.Error());
    std::optional<ProgressSnapshot> progress = DecodeProgressStub(stub.Value());
    if (!progress) return MalformedAnswer();
    return std::move(*progress);
}

ServiceAnswer<std::monostate> UpdateServiceClient::RequestStop() {
    ServiceAnswer<std::string> stub = Invoke(UpdateServiceProcedure::RequestUpdateStop);
    if (!stub) return MakeUnexpected(stub.Error());
    return std::monostate{};
}

ServiceAnswer<int32_t> UpdateServiceClient::InvokeLong(UpdateServiceProcedure procedure) {
    ServiceAnswer<std::string> stub = Invoke(procedure);
    if (!stub) return MakeUnexpected(stub.Error());
    const std::optional<int32_t> value = DecodeLongStub(stub.Value());
    if (!value) return MalformedAnswer();
    return *value;
}

// A kept connection may have been closed by the service in the meantime (it ends idle ones):
// that call was never read, so it is safe to make it again on a fresh connection.
ServiceAnswer<std::string> UpdateServiceClient::Invoke(UpdateServiceProcedure procedure) {
    const bool kept = connection_.has_value();
    ServiceAnswer<std::string> answer = InvokeOnce(procedure);
    if (kept && !answer && answer.Error().error == ServiceError::NotRunning) {
        answer = InvokeOnce(procedure);
    }
    return answer;
}

ServiceAnswer<std::string> UpdateServiceClient::InvokeOnce(UpdateServiceProcedure procedure) {
    if (!connection_) {
        if (!platform::NamedEventExists(kUpdateServiceSyncEvent)) {
            return Failure(ServiceError::NotRunning, "no updater is running");
        }
        platform::Expected<platform::rpc::RpcClient, platform::rpc::RpcError> connected =
            platform::rpc::RpcClient::Connect(kUpdateServiceEndpoint, kUpdateServiceInterface,
                                              timeout_);
        if (!connected) return Failure(connected.Error());
        connection_.emplace(std::move(connected.Value()));
    }
    platform::Expected<std::string, platform::rpc::RpcError> answer =
        connection_->Call(static_cast<uint16_t>(procedure), "");
    if (answer) return std::move(answer.Value());
    if (answer.Error().kind != RpcErrorKind::Fault) connection_.reset();
    return Failure(answer.Error());
}

}  // namespace Tern
