#include "updatelib/transfer/transfer_limits.h"

#include <mutex>

namespace Tern {
namespace {

constexpr TransferTimeouts kDefaultTimeouts{30, 60, 15};

struct TimeoutSetting {
    std::mutex mutex;
    TransferTimeouts timeouts = kDefaultTimeouts;
};

TimeoutSetting& TheTimeoutSetting() {
    static TimeoutSetting instance;
    return instance;
}

void StoreTimeouts(const TransferTimeouts& timeouts) {
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

void OverrideTransferTimeouts(const TransferTimeouts& timeouts) { StoreTimeouts(timeouts); }

void RestoreTransferTimeouts() { StoreTimeouts(kDefaultTimeouts); }

}  // namespace testing
}  // namespace Tern
