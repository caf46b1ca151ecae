#include "launcher/ui_thread_calls.h"

#include <utility>

namespace launcher {

UiThreadCalls::UiThreadCalls(std::function<void()> wake)
    : owner_(std::this_thread::get_id()), wake_(std::move(wake)) {}

void UiThreadCalls::Call(const std::function<void()>& call) {
    if (std::this_thread::get_id() == owner_) {
        call();
        return;
    }
    Entry entry{&call};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(&entry);
    }
    wake_();
    std::unique_lock<std::mutex> lock(mutex_);
    doneSignal_.wait(lock, [&entry] { return entry.done; });
}

void UiThreadCalls::ServePending() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!pending_.empty()) {
        Entry* entry = pending_.front();
        pending_.pop_front();
        lock.unlock();
        (*entry->call)();
        lock.lock();
        entry->done = true;
        doneSignal_.notify_all();
    }
}

}  // namespace launcher
