#include "platform/named_event.h"

#include <windows.h>

namespace platform {
namespace {

// Kernel object names live in the session's namespace, where the system keeps an event while
// any process holds a handle to it, also when a holder is killed. A '\' would reach another
// namespace, so it is escaped, and with it the escape character, to keep names distinct.
std::string ObjectName(const std::string& name) {
    std::string escaped = "Local\\tern-event-";
    for (const char c : name) {
        if (c == '\\') {
            escaped += "%5C";
        } else if (c == '%') {
            escaped += "%25";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

// Handles are not inherited: a program the process starts never keeps an event alive.
struct NamedEvent::State {
    explicit State(HANDLE event) : handle(event) {}
    ~State() { CloseHandle(handle); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    const HANDLE handle;
};

NamedEvent::NamedEvent() = default;

NamedEvent::~NamedEvent() { Close(); }

NamedEvent::NamedEvent(NamedEvent&&) noexcept = default;

NamedEvent& NamedEvent::operator=(NamedEvent&&) noexcept = default;

bool NamedEvent::Create(const std::string& name, bool initiallySignaled) {
    Close();
    const HANDLE handle =
        CreateEventA(nullptr, TRUE, initiallySignaled ? TRUE : FALSE, ObjectName(name).c_str());
    if (!handle) return false;
    state_ = std::make_unique<State>(handle);
    return true;
}

bool NamedEvent::IsOpen() const { return state_ != nullptr; }

void NamedEvent::Close() { state_.reset(); }

bool NamedEvent::Set() { return IsOpen() && SetEvent(state_->handle); }

bool NamedEvent::Reset() { return IsOpen() && ResetEvent(state_->handle); }

WaitResult NamedEvent::Wait(unsigned timeoutMs) {
    if (!IsOpen()) return WaitResult::Failed;
    // INFINITE is a number of milliseconds too; no timeout of the caller's waits forever.
    const DWORD timeout = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
    switch (WaitForSingleObject(state_->handle, timeout)) {
        case WAIT_OBJECT_0:
            return WaitResult::Signaled;
        case WAIT_TIMEOUT:
            return WaitResult::Timeout;
        default:
            return WaitResult::Failed;
    }
}

bool NamedEventExists(const std::string& name) {
    const HANDLE handle = OpenEventA(SYNCHRONIZE, FALSE, ObjectName(name).c_str());
    if (!handle) return false;
    CloseHandle(handle);
    return true;
}

}  // namespace platform
