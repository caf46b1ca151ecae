// The latest progress figures of a transfer, handed from the reporting thread to the window's
// thread, which shows them at display rate: older figures that were never shown are dropped.
#pragma once

#include <mutex>
#include <optional>

namespace launcher {

struct ProgressFigures {
    double totalBytes = 0.0;
    double totalReceived = 0.0;
    double fileBytes = 0.0;
    double fileReceived = 0.0;
};

class LatestProgress {
public:
    void Store(const ProgressFigures& figures) {
        std::lock_guard<std::mutex> lock(mutex_);
        figures_ = figures;
        fresh_ = true;
    }

    // The figures stored since the previous call, if any.
    std::optional<ProgressFigures> TakeNew() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!fresh_) return std::nullopt;
        fresh_ = false;
        return figures_;
    }

private:
    std::mutex mutex_;
    ProgressFigures figures_;
    bool fresh_ = false;
};

}  // namespace launcher
