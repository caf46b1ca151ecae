// Blocking calls from other threads into the thread that owns the window.
//
// A caller hands over a function and waits until the owner's thread has run it, as a blocking
// queued call does. The hand-over and the wait use standard mutexes rather than Qt's own
// blocking connection, so that ThreadSanitizer, which cannot see into the uninstrumented Qt
// libraries, sees every ordering; Qt only carries a data-free wake-up to the owner's event loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace launcher {

class UiThreadCalls {
public:
    // Construct on the owner's thread. `wake` runs on a calling thread after each hand-over and
    // must make the owner's thread call ServePending soon (a queued call into its event loop).
    explicit UiThreadCalls(std::function<void()> wake);
    UiThreadCalls(const UiThreadCalls&) = delete;
    UiThreadCalls& operator=(const UiThreadCalls&) = delete;

    // Runs `call` on the owner's thread and returns after it has run. On the owner's thread
    // itself, runs it at once.
    void Call(const std::function<void()>& call);

    // Runs every call handed over so far; on the owner's thread. Calls may open nested event
    // loops, which serve the calls that arrive meanwhile.
    void ServePending();

private:
    struct Entry {
        const std::function<void()>* call;
        bool done = false;
    };

    const std::thread::id owner_;
    const std::function<void()> wake_;
    std::mutex mutex_;
    std::condition_variable doneSignal_;
    std::deque<Entry*> pending_;
};

}  // namespace launcher
