// A local DCE/RPC server: one interface on one endpoint, a thread per client connection that
// reads, dispatches and answers its calls.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/rpc/dispatch.h"
#include "platform/rpc/syntax_id.h"

namespace platform::rpc {

enum class StartResult {
    Started,
    EndpointInUse,  // another server accepts connections on the endpoint
    Unusable,       // no runtime directory, a bad name, or the socket could not be set up
    AlreadyStarted,
};

class RpcServer {
public:
    // Connections served at once, each with at most one call in progress. One more closes the
    // connection that has gone longest without a call, one assembling none first; it waits in
    // the listen queue only while every connection runs a call.
    static constexpr size_t kMaxConcurrentCalls = 1234;

    RpcServer();
    // Stops, then waits for every call in progress and every connection thread. Must not run
    // inside one of this server's calls.
    ~RpcServer();
    RpcServer(const RpcServer&) = delete;
    RpcServer& operator=(const RpcServer&) = delete;

    // Registers `endpoint` (a socket of that name in the runtime directory, mode 0600) and
    // serves `interface` there on background threads. A socket left behind by a process that
    // ended is replaced; one that something still accepts connections on is left alone. A
    // server starts once. A call whose request stub outgrows `largestRequestStub` is refused.
    StartResult Start(const std::string& endpoint, const SyntaxId& interface, Dispatch dispatch,
                      size_t largestRequestStub = kLargestStub);

    // Stops listening (the socket file goes), closes the connections for reading and takes no
    // further call. Calls in progress run on and are answered; Stop does not wait for them, so
    // it may run on any thread, inside a call too. Idempotent.
    void Stop();

    // Stops, then returns once no call is in progress: no dispatch runs after it returned.
    // `whileWaiting` runs repeatedly meanwhile, so that a thread the calls wait for can serve
    // them. Must not run inside one of this server's calls.
    void WaitForCalls(const std::function<void()>& whileWaiting = {});

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::rpc
