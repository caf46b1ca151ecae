// What the local update service asks of the updater it reports on. The service calls these
// on its connection threads, concurrently with each other and with the update run.
#pragma once

#include <cstdint>
#include <string>

namespace Tern {

// The progress figures of the run, as its last reports left them.
struct ProgressSnapshot {
    double totalBytes = 0.0;
    double totalReceived = 0.0;
    double fileBytes = 0.0;
    double fileReceived = 0.0;
    uint32_t updateCount = 0;
    uint32_t updateIndex = 0;  // 1-based
    std::string url;
    std::string description;
};

class UpdateServiceProvider {
public:
    virtual ~UpdateServiceProvider() = default;

    // The engine's state number (5: the run has ended).
    virtual int32_t GetUpdateState() const = 0;
    // The run's result code.
    virtual int32_t GetUpdateResult() const = 0;
    virtual ProgressSnapshot GetUpdateProgress() const = 0;
    // A client asks the updater to stop: while the run is in progress it is aborted; once it
    // has ended, the updater finishes as if its user had asked to (result 6), after the run's
    // own result and leaving it as it is.
    virtual void RequestUpdateStop() = 0;
};

}  // namespace Tern
