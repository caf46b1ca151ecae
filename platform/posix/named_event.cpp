#include "platform/named_event.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/files.h"
#include "platform/posix/fd_io.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

constexpr char kSignaled = '1';
constexpr char kNotSignaled = '0';
constexpr std::chrono::milliseconds kPollInterval{1};

bool IsSafeInFileName(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

// Every byte outside the safe set becomes %XX ('%' included), so distinct names stay distinct
// files and no name can leave the directory.
std::string EscapeName(const std::string& name) {
    std::string escaped;
    for (const char c : name) {
        if (IsSafeInFileName(c)) {
            escaped += c;
        } else {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
            escaped += code;
        }
    }
    return escaped;
}

// The file behind the event `name` in the runtime `directory`.
std::string EventPath(const std::string& directory, const std::string& name) {
    return directory + "/tern-event-" + EscapeName(name);
}

// Close-on-exec, so that programs the process starts never keep an event alive. Only a regular
// file of the user's own is used: a link or another user's file could make a holder that never
// lets go, or a lock that never can be taken.
UniqueFd OpenLockFile(const std::string& path) {
    UniqueFd file(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat info;
    if (file.Valid() &&
        (fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid())) {
        file.Reset();
    }
    return file;
}

// Held while an event file is created or removed, by every process of the user: a creator
// never opens a file that a closing last holder is about to remove, and a closer never removes
// a file that a creator has just joined.
class CreationGuard {
public:
    explicit CreationGuard(const std::string& directory)
        : file_(OpenLockFile(directory + "/tern-events.lock")),
          locked_(file_.Valid() && LockFile(file_.Get(), LOCK_EX)) {}

    bool Locked() const { return locked_; }

private:
    UniqueFd file_;
    bool locked_;
};

bool WriteState(int fd, char state) { return pwrite(fd, &state, 1, 0) == 1; }

bool ReadState(int fd, char& state) { return pread(fd, &state, 1, 0) == 1; }

// Only possible while no handle holds the file: whatever state an earlier object left in it
// is replaced by the initial one before anybody else can see it.
bool StartFresh(int fd, bool initiallySignaled) {
    return WriteState(fd, initiallySignaled ? kSignaled : kNotSignaled) &&
           LockFile(fd, LOCK_SH | LOCK_NB);
}

}  // namespace

struct NamedEvent::State {
    std::string directory;
    std::string path;
    UniqueFd file;
};

NamedEvent::NamedEvent() = default;

NamedEvent::~NamedEvent() { Close(); }

NamedEvent::NamedEvent(NamedEvent&& other) noexcept = default;

NamedEvent& NamedEvent::operator=(NamedEvent&& other) noexcept {
    if (this != &other) {
        Close();
        state_ = std::move(other.state_);
    }
    return *this;
}

bool NamedEvent::Create(const std::string& name, bool initiallySignaled) {
    Close();
    auto state = std::make_unique<State>();
    state->directory = RuntimeDirectory();
    if (state->directory.empty()) return false;
    state->path = EventPath(state->directory, name);

    const CreationGuard guard(state->directory);
    if (!guard.Locked()) return false;
    state->file = OpenLockFile(state->path);
    if (!state->file.Valid()) return false;
    const int fd = state->file.Get();
    // The guard keeps every other creator and closer out, so the lock changes below never wait.
    const bool opened = LockFile(fd, LOCK_EX | LOCK_NB) ? StartFresh(fd, initiallySignaled)
                                                        : LockFile(fd, LOCK_SH | LOCK_NB);
    if (!opened) return false;
    state_ = std::move(state);
    return true;
}

bool NamedEvent::IsOpen() const { return state_ != nullptr; }

// The last handle removes the file, so that no stale files collect in the runtime directory.
// A failed upgrade to the exclusive lock drops the shared one, which does not matter here as
// the handle goes away anyway.
void NamedEvent::Close() {
    if (!state_) return;
    const CreationGuard guard(state_->directory);
    if (guard.Locked() && LockFile(state_->file.Get(), LOCK_EX | LOCK_NB)) {
        unlink(state_->path.c_str());
    }
    state_.reset();
}

bool NamedEvent::Set() { return state_ && WriteState(state_->file.Get(), kSignaled); }

bool NamedEvent::Reset() { return state_ && WriteState(state_->file.Get(), kNotSignaled); }

WaitResult NamedEvent::Wait(unsigned timeoutMs) {
    if (!state_) return WaitResult::Failed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        char state;
        if (!ReadState(state_->file.Get(), state)) return WaitResult::Failed;
        if (state == kSignaled) return WaitResult::Signaled;
        if (std::chrono::steady_clock::now() >= deadline) return WaitResult::Timeout;
        std::this_thread::sleep_for(kPollInterval);
    }
}

// Every handle holds a shared lock on the event's file, so an exclusive one is granted only when
// no handle is left. The guard keeps creators and closers out meanwhile.
bool NamedEventExists(const std::string& name) {
    const std::string directory = RuntimeDirectory();
    if (directory.empty()) return false;
    const CreationGuard guard(directory);
    if (!guard.Locked()) return false;
    const UniqueFd file(
        open(EventPath(directory, name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return file.Valid() && !LockFile(file.Get(), LOCK_EX | LOCK_NB);
}

}  // namespace platform
