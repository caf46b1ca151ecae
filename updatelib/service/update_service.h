// The local update service: other programs of the user ask a running updater for its state,
// result and progress, and ask it to stop.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/rpc/syntax_id.h"
#include "updatelib/service/update_service_provider.h"

namespace Tern {

// The interface's identity. Clients find the service at the endpoint: on Windows the system's
// local RPC endpoint of that name, on Linux a socket of that name in the runtime directory (a
// Samba client reaches it as "ncalrpc:[vexUpdateService]" with its "ncalrpc dir" set to that
// directory). The sync event exists while an updater with its service runs.
constexpr platform::rpc::SyntaxId kUpdateServiceInterface{
    platform::rpc::ParseUuid("a5fd402b-7e0b-4758-a173-aa3c8047f340").value(), 1, 0};
constexpr char kUpdateServiceEndpoint[] = "vexUpdateService";
constexpr char kUpdateServiceSyncEvent[] = "vexUpdateServiceSyncEvent";

// The progress texts travel as [string] char[65]: at most 64 characters.
constexpr size_t kProgressTextCapacity = 65;

enum class ServiceStartResult {
    Started,
    EndpointInUse,  // another service serves the endpoint
    Unusable,       // the runtime could not set the endpoint or the interface up
    AlreadyStarted,
};

// The server. The provider must outlive it; the destructor waits for calls in progress.
class UpdateService {
public:
    explicit UpdateService(UpdateServiceProvider& provider);
    ~UpdateService();
    UpdateService(const UpdateService&) = delete;
    UpdateService& operator=(const UpdateService&) = delete;

    // Serves the interface at kUpdateServiceEndpoint; a process serves it once at a time.
    ServiceStartResult Start();
    // Ends the service without waiting for calls in progress; any thread, inside a call too.
    void Stop();
    // Stops, then returns once no call is in progress, running `whileWaiting` repeatedly
    // meanwhile so that a thread the calls wait for can serve them. Not inside a call.
    void WaitForCalls(const std::function<void()>& whileWaiting = {});

    struct Impl;  // the realisation on the system's RPC runtime

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tern
