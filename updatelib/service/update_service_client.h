// The client of the local update service, for the programs that ask a running updater about
// its run: a patch, a game, ternctl.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "platform/expected.h"
#include "updatelib/service/update_service.h"

namespace Tern {

enum class ServiceError {
    NotRunning,     // no updater with its service runs
    TimedOut,       // the service did not answer in time
    ProtocolError,  // something answered, but not as the service does
};

struct ServiceFailure {
    ServiceError error;
    std::string detail;  // for people
};

// The engine state the service reports once the run has ended; the result is final from then on.
constexpr int32_t kRunEndedState = 5;

// What a state number and a result code of the service mean, for people; "unknown ..." for a
// number the service does not send.
const char* StateMeaning(int32_t state);
const char* ResultMeaning(int32_t result);

template <typename T>
using ServiceAnswer = platform::Expected<T, ServiceFailure>;

class UpdateServiceConnection;

// Keeps one connection for all its calls and connects again when the service closed it.
class UpdateServiceClient {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

    explicit UpdateServiceClient(std::chrono::milliseconds timeout = kDefaultTimeout);
    ~UpdateServiceClient();
    UpdateServiceClient(UpdateServiceClient&&) noexcept;
    UpdateServiceClient& operator=(UpdateServiceClient&&) noexcept;

    ServiceAnswer<int32_t> State();
    ServiceAnswer<int32_t> Result();
    ServiceAnswer<ProgressSnapshot> Progress();
    ServiceAnswer<std::monostate> RequestStop();

private:
    template <typename T>
    ServiceAnswer<T> Ask(ServiceAnswer<T> (UpdateServiceConnection::*procedure)());
    template <typename T>
    ServiceAnswer<T> AskOnce(ServiceAnswer<T> (UpdateServiceConnection::*procedure)());

    std::chrono::milliseconds timeout_;
    std::unique_ptr<UpdateServiceConnection> connection_;
};

}  // namespace Tern
