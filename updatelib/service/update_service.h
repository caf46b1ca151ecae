// The local update service: other programs of the user ask a running updater for its state,
// result and progress, and ask it to stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/rpc/rpc_server.h"
#include "platform/rpc/syntax_id.h"
#include "updatelib/service/update_service_provider.h"

namespace Tern {

// The interface's identity. Clients find the service at the endpoint, a socket of that name in
// the runtime directory (a Samba client reaches it as "ncalrpc:[vexUpdateService]" with its
// "ncalrpc dir" set to that directory); the sync event exists while an updater with its service
// runs.
constexpr platform::rpc::SyntaxId kUpdateServiceInterface{
    platform::rpc::ParseUuid("a5fd402b-7e0b-4758-a173-aa3c8047f340").value(), 1, 0};
constexpr char kUpdateServiceEndpoint[] = "vexUpdateService";
constexpr char kUpdateServiceSyncEvent[] = "vexUpdateServiceSyncEvent";

// Operation numbers. No procedure takes inputs: every request stub is empty.
enum class UpdateServiceProcedure : uint16_t {
    GetUpdateState = 0,     // answers an NDR long
    GetUpdateResult = 1,    // answers an NDR long
    GetUpdateProgress = 2,  // answers a progress stub
    RequestUpdateStop = 3,  // answers nothing
};

// The progress texts travel as [string] char[65]: at most 64 characters.
constexpr size_t kProgressTextCapacity = 65;

std::string EncodeLongStub(int32_t value);
std::optional<int32_t> DecodeLongStub(std::string_view stub);
// Four doubles, two longs, then the URL and the description as [string] char[65], each cut
// after 64 characters.
std::string EncodeProgressStub(const ProgressSnapshot& progress);
std::optional<ProgressSnapshot> DecodeProgressStub(std::string_view stub);

// The server. The provider must outlive it; the destructor waits for calls in progress.
class UpdateService {
public:
    explicit UpdateService(UpdateServiceProvider& provider);

    // Serves the interface at kUpdateServiceEndpoint.
    platform::rpc::StartResult Start();
    // Ends the service without waiting for calls in progress; any thread, inside a call too.
    void Stop();
    // Stops, then returns once no call is in progress, running `whileWaiting` meanwhile (see
    // RpcServer::WaitForCalls). Not inside a call.
    void WaitForCalls(const std::function<void()>& whileWaiting = {});

private:
    platform::rpc::DispatchResult Dispatch(uint16_t opnum);

    UpdateServiceProvider& provider_;
    platform::rpc::RpcServer server_;
};

}  // namespace Tern
