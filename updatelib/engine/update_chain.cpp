#include "updatelib/engine/update_chain.h"

#include <cstdint>

#include "updatelib/host/update_observer.h"

namespace Tern {

UpdateChain::~UpdateChain() {
    for (Update::Ptr& update : updates_) update.reset();
}

void UpdateChain::Add(const Update& update) { updates_.push_back(update.Clone()); }

bool UpdateChain::runChain(UpdateObserver& observer, UpdateStateStore& stateStore) {
    return runChain(observer,
                    [&](Update& update) { return update.startUpdate(observer, stateStore); });
}

bool UpdateChain::runChain(UpdateObserver& observer, const std::function<bool(Update&)>& start) {
    const auto count = static_cast<uint32_t>(updates_.size());
    for (uint32_t index = 1; index <= count; ++index) {
        if (observer.ConfirmRunUpdate(count, index)) start(*updates_[index - 1]);
    }
    return false;
}

}  // namespace Tern
