#include "updatelib/service/update_service.h"

#include "platform/posix/rpc/ndr.h"

namespace Tern {

using platform::rpc::DispatchResult;
using platform::rpc::NdrReader;
using platform::rpc::NdrWriter;

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

UpdateService::UpdateService(UpdateServiceProvider& provider) : provider_(provider) {}

// No procedure takes inputs: a request carries padding at most, and a longer one would only
// hold the service's memory while it arrives.
constexpr size_t kLargestRequestStub = 1024;

platform::rpc::StartResult UpdateService::Start() {
    return server_.Start(
        kUpdateServiceEndpoint, kUpdateServiceInterface,
        [this](uint16_t opnum, const std::string&) { return Dispatch(opnum); },
        kLargestRequestStub);
}

void UpdateService::Stop() { server_.Stop(); }

void UpdateService::WaitForCalls(const std::function<void()>& whileWaiting) {
    server_.WaitForCalls(whileWaiting);
}

// The procedures have no inputs, so whatever a request stub holds is ignored.
DispatchResult UpdateService::Dispatch(uint16_t opnum) {
    switch (static_cast<UpdateServiceProcedure>(opnum)) {
        case UpdateServiceProcedure::GetUpdateState:
            return DispatchResult::Reply(EncodeLongStub(provider_.GetUpdateState()));
        case UpdateServiceProcedure::GetUpdateResult:
            return DispatchResult::Reply(EncodeLongStub(provider_.GetUpdateResult()));
        case UpdateServiceProcedure::GetUpdateProgress:
            return DispatchResult::Reply(EncodeProgressStub(provider_.GetUpdateProgress()));
        case UpdateServiceProcedure::RequestUpdateStop:
            provider_.RequestUpdateStop();
            return DispatchResult::Reply("");
    }
    return DispatchResult::Fault(platform::rpc::kOperationRangeError);
}

}  // namespace Tern
