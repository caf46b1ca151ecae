#include "platform/transfer_limits.h"

#include <mutex>

#include "platform/test_seams.h"

namespace platform {
namespace {

constexpr TransferTimeouts kDefaultTimeouts{30, 60};

struct TimeoutSetting {
    std::mutex mutex;
    TransferTimeouts timeouts = kDefaultTimeouts;
};

TimeoutSetting& TheTimeoutSetting() {
    static TimeoutSetting instance;
    return instance;
}

void StoreTimeouts(TransferTimeouts timeouts) {
    TimeoutSetting& setting = TheTimeoutSetting();
    const std::lock_guard<std::mutex> lock(setting.mutex);
    setting.timeouts = timeouts;
}

}  // namespace

TransferTimeouts CurrentTransferTimeouts() {
    TimeoutSetting& setting = TheTimeoutSetting();
    const std::lock_guard<std::mutex> lock(setting.mutex);
    return setting.timeouts;
}

namespace testing {

void OverrideTransferTimeouts(long connectSeconds, long lowSpeedSeconds) {
    StoreTimeouts({connectSeconds, lowSpeedSeconds});
}

void RestoreTransferTimeouts() { StoreTimeouts(kDefaultTimeouts); }

}  // namespace testing
}  // namespace platform
