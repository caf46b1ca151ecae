// Named manual-reset events shared by every process of the user.
//
// The object lives while any process holds a handle and vanishes with the last one, also when a
// holder is killed: the next create then starts a fresh object in its initial state. Windows
// keeps its named events so itself; on Linux each name is a lock file in the runtime directory,
// on which every open handle holds a shared flock.
#pragma once

#include <memory>
#include <string>

namespace platform {

enum class WaitResult { Signaled, Timeout, Failed };

class NamedEvent {
public:
    NamedEvent();
    ~NamedEvent();  // closes the handle
    NamedEvent(NamedEvent&&) noexcept;
    NamedEvent& operator=(NamedEvent&&) noexcept;
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    // Creates the event, or opens it when another handle holds it (then `initiallySignaled`
    // is ignored). False when the runtime directory or the lock file cannot be used.
    bool Create(const std::string& name, bool initiallySignaled);
    bool IsOpen() const;
    void Close();

    bool Set();
    bool Reset();
    // Waits until the event is signalled or `timeoutMs` passed.
    WaitResult Wait(unsigned timeoutMs);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Whether some process holds a handle of the event `name`, without creating it.
bool NamedEventExists(const std::string& name);

}  // namespace platform
