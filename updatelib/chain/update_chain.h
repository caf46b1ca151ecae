// The ordered updates of one update run: downloaded in order, then started in order.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "updatelib/chain/update.h"

namespace Tern {

class HttpDownloader;
class UpdateObserver;
class UpdateStateStore;

class UpdateChain {
public:
    UpdateChain() = default;
    // Destroys the updates in list order.
    virtual ~UpdateChain();
    UpdateChain(const UpdateChain&) = delete;
    UpdateChain& operator=(const UpdateChain&) = delete;

    // Appends a copy of `update` (of its whole class) at the end.
    void Add(const Update& update);
    size_t Count() const { return updates_.size(); }
    // 0-based; `index` must be below Count().
    Update& At(size_t index) { return *updates_[index]; }
    const Update& At(size_t index) const { return *updates_[index]; }

    // Downloads and verifies every update in order; true when all of them are ready to run.
    bool downloadChain(UpdateObserver& observer, HttpDownloader& downloader,
                       UpdateStateStore& stateStore);

    // Asks the observer about each update in order and starts the confirmed ones, which must be
    // signed for `product` (Update::startUpdate). A failed start does not stop the loop; the
    // outcome is in the observer's Result, and the answer is always false.
    bool runChain(UpdateObserver& observer, UpdateStateStore& stateStore,
                  const std::string& product);
    // The same loop with `start` in place of Update::startUpdate.
    bool runChain(UpdateObserver& observer, const std::function<bool(Update&)>& start);

private:
    std::vector<Update::Ptr> updates_;
};

}  // namespace Tern
