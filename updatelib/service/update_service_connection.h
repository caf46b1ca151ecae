// What the client asks of the system's RPC runtime: a connection to the service, realised once
// per runtime (the Linux stand-in, the Windows system's own).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "updatelib/service/update_service_client.h"

namespace Tern {

class UpdateServiceConnection {
public:
    virtual ~UpdateServiceConnection() = default;

    // One call each; a failed call leaves the connection for the client to drop.
    virtual ServiceAnswer<int32_t> State() = 0;
    virtual ServiceAnswer<int32_t> Result() = 0;
    virtual ServiceAnswer<ProgressSnapshot> Progress() = 0;
    virtual ServiceAnswer<std::monostate> RequestStop() = 0;
};

// Every wait for the service, here and in each call, ends after `timeout`.
ServiceAnswer<std::unique_ptr<UpdateServiceConnection>> ConnectToUpdateService(
    std::chrono::milliseconds timeout);

inline platform::Unexpected<ServiceFailure> ServiceFailed(ServiceError error, std::string detail) {
    return platform::MakeUnexpected(ServiceFailure{error, std::move(detail)});
}

inline platform::Unexpected<ServiceFailure> MalformedAnswer() {
    return ServiceFailed(ServiceError::ProtocolError, "the service's answer is malformed");
}

}  // namespace Tern
