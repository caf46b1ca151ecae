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

namespace Tern {

// Hands each flushed piece of the technical log to the host, and a copy to the library's
// diagnostic stream (unflushed: its next writer flushes it).
struct LogToUpgradeHost {
    UpgradeHost* host;
    void operator()(const std::string& text) const;
};

struct ProgressSnapshot {
    double totalBytes = 0.0;
    double totalReceived = 0.0;
    double fileBytes = 0.0;
    double fileReceived = 0.0;
    uint32_t updateCount = 0;
    uint32_t updateIndex = 0;
    std::string url;
    std::string description;
};

struct UpgradeHost::UpgradeHostImpl final : UpdateObserver, UpdateEngineClient {
    explicit UpgradeHostImpl(UpgradeHost* owner);

    // The engine reaches the host through these.
    UpdateObserver& Observer() override { return *this; }
    bool ConfirmRunUpdates() override { return host->ConfirmRunUpdates(); }
    void NotifyFinished() override { host->NotifyFinished(); }

    bool OnProgress(double totalBytes, double totalReceived, double fileBytes,
                    double fileReceived) override;
    void OnDownloadStarted(const std::string& url, const std::string& description, uint32_t count,
                           uint32_t index) override;
    std::ostream& Log() override { return logStream; }
    bool ConfirmRunUpdate(uint32_t count, uint32_t index) override;

    ProgressSnapshot CopySnapshot() const;

    UpgradeHost* const host;
    std::string registryKeyPath;  // written by Start before the worker exists

    mutable std::mutex snapshotMutex;
    ProgressSnapshot snapshot;

    std::mutex stopMutex;
    platform::NamedEvent syncEvent;
    std::atomic<bool> abortRequested{false};

    // Destroyed in reverse order: the log stream first, then the engine.
    UpdateEngine engine;
    AdaptiveStream<LogToUpgradeHost> logStream;
};

}  // namespace Tern
