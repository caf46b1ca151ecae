// The host's private implementation: the observer the engine reports to, the progress
// snapshot other threads read, the abort request, the technical log and the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/named_event.h"
#include "updatelib/base/adaptive_stream.h"
#include "updatelib/base/update_observer.h"
#include "updatelib/engine/update_engine.h"
#include "updatelib/host/upgrade_host.h"
#include "updatelib/service/update_service.h"
#include "updatelib/service/update_service_provider.h"

namespace Tern {

// Hands each flushed piece of the technical log to the host, and a copy to the library's
// diagnostic stream (unflushed: its next writer flushes it).
struct LogToUpgradeHost {
    UpgradeHost* host;
    void operator()(const std::string& text) const;
};

struct UpgradeHost::UpgradeHostImpl final : UpdateObserver,
                                            UpdateEngineClient,
                                            UpdateServiceProvider {
    explicit UpgradeHostImpl(UpgradeHost* owner);

    // The engine reaches the host through these.
    UpdateObserver& Observer() override { return *this; }
    bool ConfirmRunUpdates() override { return host->ConfirmRunUpdates(); }
    void NotifyFinished() override;

    bool OnProgress(double totalBytes, double totalReceived, double fileBytes,
                    double fileReceived) override;
    void OnDownloadStarted(const std::string& url, const std::string& description, uint32_t count,
                           uint32_t index) override;
    std::ostream& Log() override { return logStream; }
    bool ConfirmRunUpdate(uint32_t count, uint32_t index) override;

    ProgressSnapshot CopySnapshot() const;

    // What the local update service reports and does; on its call threads.
    int32_t GetUpdateState() const override { return engine.State(); }
    int32_t GetUpdateResult() const override { return Result.load(std::memory_order_acquire); }
    ProgressSnapshot GetUpdateProgress() const override { return CopySnapshot(); }
    void RequestUpdateStop() override;

    UpgradeHost* const host;
    std::string registryKeyPath;  // written by Start before the worker exists

    mutable std::mutex snapshotMutex;
    ProgressSnapshot snapshot;

    std::atomic<bool> started{false};

    // A stop request that comes while the run is ending waits for the run's own OnFinished.
    std::mutex finishMutex;
    bool runFinished = false;  // the run's OnFinished has returned
    bool stopWaiting = false;

    std::mutex stopMutex;
    platform::NamedEvent syncEvent;
    std::atomic<bool> abortRequested{false};

    // Destroyed in reverse order: the service (after its calls), the log stream, the engine.
    UpdateEngine engine;
    AdaptiveStream<LogToUpgradeHost> logStream;
    UpdateService service{*this};
};

}  // namespace Tern
