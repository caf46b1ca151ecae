// How an RPC server hands a call to the code that implements the interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace platform::rpc {

// The largest stub the runtime takes in one call, in either direction.
constexpr size_t kLargestStub = 256 * 1024;

// The fault status for a procedure number the interface does not have.
constexpr uint32_t kOperationRangeError = 0x1c010002;

// The answer to one call: the response stub, or a fault status for the client.
struct DispatchResult {
    static DispatchResult Reply(std::string stub) { return {false, 0, std::move(stub)}; }
    static DispatchResult Fault(uint32_t status) { return {true, status, {}}; }

    bool fault = false;
    uint32_t faultStatus = 0;
    std::string stub;
};

// Runs procedure `opnum` with the request stub; answers kOperationRangeError for an
// opnum the interface does not have. Called on the server's connection threads, concurrently;
// must not throw.
using Dispatch = std::function<DispatchResult(uint16_t opnum, const std::string& requestStub)>;

}  // namespace platform::rpc
