#include "updatelib/service/update_service_client.h"

#include <utility>

#include "platform/named_event.h"
#include "updatelib/service/update_service_connection.h"

namespace Tern {

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
UpdateServiceClient::~UpdateServiceClient() = default;
UpdateServiceClient::UpdateServiceClient(UpdateServiceClient&&) noexcept = default;
UpdateServiceClient& UpdateServiceClient::operator=(UpdateServiceClient&&) noexcept = default;

ServiceAnswer<int32_t> UpdateServiceClient::State() { return Ask(&UpdateServiceConnection::State); }

ServiceAnswer<int32_t> UpdateServiceClient::Result() {
    return Ask(&UpdateServiceConnection::Result);
}

ServiceAnswer<ProgressSnapshot> UpdateServiceClient::Progress() {
    return Ask(&UpdateServiceConnection::Progress);
}

ServiceAnswer<std::monostate> UpdateServiceClient::RequestStop() {
    return Ask(&UpdateServiceConnection::RequestStop);
}

// A kept connection may have been closed by the service in the meantime (it ends idle ones):
// that call was never read, so it is safe to make it again on a fresh connection.
template <typename T>
ServiceAnswer<T> UpdateServiceClient::Ask(
    ServiceAnswer<T> (UpdateServiceConnection::*procedure)()) {
    const bool kept = connection_ != nullptr;
    ServiceAnswer<T> answer = AskOnce(procedure);
    if (kept && !answer && answer.Error().error == ServiceError::NotRunning) {
        answer = AskOnce(procedure);
    }
    return answer;
}

template <typename T>
ServiceAnswer<T> UpdateServiceClient::AskOnce(
    ServiceAnswer<T> (UpdateServiceConnection::*procedure)()) {
    if (!connection_) {
        if (!platform::NamedEventExists(kUpdateServiceSyncEvent)) {
            return ServiceFailed(ServiceError::NotRunning, "no updater is running");
        }
        ServiceAnswer<std::unique_ptr<UpdateServiceConnection>> connected =
            ConnectToUpdateService(timeout_);
        if (!connected) return platform::MakeUnexpected(connected.Error());
        connection_ = std::move(connected.Value());
    }
    ServiceAnswer<T> answer = ((*connection_).*procedure)();
    if (!answer) connection_.reset();
    return answer;
}

}  // namespace Tern
