#include "platform/rpc/rpc_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/posix/fd_io.h"
#include "platform/posix/rpc/association.h"
#include "platform/posix/rpc/local_endpoint.h"
#include "platform/posix/rpc/pdu_channel.h"
#include "platform/posix/unique_fd.h"
#include "platform/test_seams.h"

namespace platform::rpc {
namespace {

using Clock = std::chrono::steady_clock;

// A client may keep its connection between calls, but not forever: the thread it holds could
// serve another. A PDU, and a call in several fragments from its first one on, must arrive
// whole in far less.
constexpr long kIdleMilliseconds = 60000;
constexpr long kPduMilliseconds = 10000;
// What calls in several fragments may hold together while they arrive and run: 128 of the
// largest stubs, far more than local callers send at once, where half-sent calls on every
// connection could otherwise hold hundreds of megabytes.
constexpr size_t kMaxHeldBytes = 32 * 1024 * 1024;
// After a failed accept for want of descriptors or memory, before trying again.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};

std::atomic<long> theIdleMilliseconds{kIdleMilliseconds};
std::atomic<long> thePduMilliseconds{kPduMilliseconds};
std::atomic<size_t> theMaxConnections{RpcServer::kMaxConcurrentCalls};
std::atomic<size_t> theMaxHeldBytes{kMaxHeldBytes};

class DirectoryLock {
public:
    explicit DirectoryLock(int directory)
        : directory_(directory), locked_(LockFile(directory, LOCK_EX)) {}
    ~DirectoryLock() {
        if (locked_) flock(directory_, LOCK_UN);
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    bool Locked() const { return locked_; }

private:
    int directory_;
    bool locked_;
};

enum class Occupant { None, Stale, Live, Other };

// What is at the endpoint's path: nothing, a socket nobody listens on any more, a socket
// that accepts connections, or something else that is not ours to remove.
Occupant FindOccupant(const LocalEndpoint& endpoint) {
    struct stat info;
    if (lstat(endpoint.Path().c_str(), &info) != 0) {
        return errno == ENOENT ? Occupant::None : Occupant::Other;
    }
    if (!S_ISSOCK(info.st_mode)) return Occupant::Other;
    const UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.Valid()) return Occupant::Other;
    if (connect(probe.Get(), endpoint.Address(), endpoint.AddressLength()) == 0) {
        return Occupant::Live;
    }
    switch (errno) {
        case ECONNREFUSED:
            return Occupant::Stale;
        case ENOENT:
            return Occupant::None;
        case EAGAIN:  // a full listen queue: very much alive
            return Occupant::Live;
        default:
            return Occupant::Other;
    }
}

// The socket takes its file's mode at bind, so the file never exists with wider access.
UniqueFd BindAndListen(const LocalEndpoint& endpoint) {
    UniqueFd socketFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socketFd.Valid() || fchmod(socketFd.Get(), 0600) != 0 ||
        bind(socketFd.Get(), endpoint.Address(), endpoint.AddressLength()) != 0) {
        return UniqueFd();
    }
    if (listen(socketFd.Get(), SOMAXCONN) != 0) {
        unlink(endpoint.Path().c_str());
        return UniqueFd();
    }
    return socketFd;
}

}  // namespace

struct RpcServer::Impl {
    struct Connection {
        explicit Connection(UniqueFd socketFd)
            : socket(std::move(socketFd)), idleSince(Clock::now()) {}

        UniqueFd socket;
        // Since it was accepted or ended its last call.
        Clock::time_point idleSince;
        // The stub bytes of the call it assembles.
        size_t held = 0;
        bool calling = false;
        bool reclaimed = false;
    };
    using ConnectionEntry = std::list<Connection>::iterator;

    StartResult Start(const std::string& endpointName, const SyntaxId& served, Dispatch call,
                      size_t largestStub);
    void Stop();
    void WaitForCalls(const std::function<void()>& whileWaiting);
    void Shutdown();

    void Listen();
    bool WaitForRoom();
    void ReclaimForDescriptor();
    void StartConnection(UniqueFd connection);
    void Serve(ConnectionEntry self);
    void End(ConnectionEntry self);
    void Converse(Connection& self);
    std::optional<DispatchResult> Call(Connection& self, uint16_t opnum, const std::string& stub);
    bool Hold(Connection& self, size_t bytes);
    Connection* Victim(const Connection* holder);
    void Reclaim(Connection& connection);
    void RemoveSocketFile();
    uint32_t NewAssociationGroup();

    std::string endpoint;
    SyntaxId interface;
    Dispatch dispatch;
    size_t maxRequestStub = kLargestStub;
    std::string socketPath;
    dev_t socketDevice = 0;
    ino_t socketInode = 0;
    UniqueFd listenSocket;
    UniqueFd wake;
    std::thread listener;
    std::atomic<uint32_t> lastAssociationGroup{0};

    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool stopped = false;
    size_t connectionThreads = 0;
    size_t callsInProgress = 0;
    std::list<Connection> connections;
    size_t heldBytes = 0;
    size_t reclaiming = 0;  // reclaimed connections whose threads have yet to end
};

StartResult RpcServer::Impl::Start(const std::string& endpointName, const SyntaxId& served,
                                   Dispatch call, size_t largestStub) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (started || stopped) return StartResult::AlreadyStarted;
    }
    const std::optional<LocalEndpoint> address = LocalEndpoint::Resolve(endpointName);
    if (!address) return StartResult::Unusable;
    {
        // Two servers starting at once must not both take the same stale socket for theirs.
        const DirectoryLock lock(address->Directory());
        if (!lock.Locked()) return StartResult::Unusable;
        switch (FindOccupant(*address)) {
            case Occupant::Live:
                return StartResult::EndpointInUse;
            case Occupant::Other:
                return StartResult::Unusable;
            case Occupant::Stale:
                if (unlink(address->Path().c_str()) != 0) return StartResult::Unusable;
                break;
            case Occupant::None:
                break;
        }
        listenSocket = BindAndListen(*address);
    }
    struct stat info;
    if (!listenSocket.Valid() || stat(address->Path().c_str(), &info) != 0) {
        return StartResult::Unusable;
    }
    endpoint = endpointName;
    interface = served;
    dispatch = std::move(call);
    maxRequestStub = largestStub;
    socketPath = address->Path();
    socketDevice = info.st_dev;
    socketInode = info.st_ino;
    wake = UniqueFd(eventfd(0, EFD_CLOEXEC));
    {
        // Before the first call can run: a Stop inside it must find the server started.
        const std::lock_guard<std::mutex> lock(mutex);
        started = true;
    }
    if (wake.Valid()) {
        try {
            listener = std::thread([this] { Listen(); });
            return StartResult::Started;
        } catch (const std::system_error&) {
        }
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
    }
    RemoveSocketFile();
    listenSocket.Reset();
    return StartResult::Unusable;
}

void RpcServer::Impl::Stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!started || stopped) return;
        stopped = true;
        // A connection between calls ends at once; one in a call answers it and then ends.
        for (const Connection& connection : connections) {
            shutdown(connection.socket.Get(), SHUT_RD);
        }
    }
    changed.notify_all();
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t woken = write(wake.Get(), &one, sizeof one);
    RemoveSocketFile();
}

void RpcServer::Impl::WaitForCalls(const std::function<void()>& whileWaiting) {
    Stop();
    std::unique_lock<std::mutex> lock(mutex);
    if (!whileWaiting) {
        changed.wait(lock, [this] { return callsInProgress == 0; });
        return;
    }
    while (callsInProgress != 0) {
        lock.unlock();
        whileWaiting();
        lock.lock();
        changed.wait_for(lock, std::chrono::milliseconds(1));
    }
}

void RpcServer::Impl::Shutdown() {
    WaitForCalls({});
    {
        std::unique_lock<std::mutex> lock(mutex);
        // Also wakes a thread that waits to hand its last answer to a client that reads none.
        for (const Connection& connection : connections) {
            shutdown(connection.socket.Get(), SHUT_RDWR);
        }
        changed.wait(lock, [this] { return connectionThreads == 0; });
    }
    if (listener.joinable()) listener.join();
}

// Another process may have replaced the file since: only our own socket goes.
void RpcServer::Impl::RemoveSocketFile() {
    struct stat info;
    if (stat(socketPath.c_str(), &info) == 0 && info.st_dev == socketDevice &&
        info.st_ino == socketInode) {
        unlink(socketPath.c_str());
    }
}

void RpcServer::Impl::Listen() {
    for (;;) {
        pollfd watched[2] = {{listenSocket.Get(), POLLIN, 0}, {wake.Get(), POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[1].revents != 0) break;
        UniqueFd connection(accept4(listenSocket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection.Valid()) {
            if (!WaitForRoom()) break;
            StartConnection(std::move(connection));
        } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            ReclaimForDescriptor();
        }
    }
    listenSocket.Reset();
}

// Connections that run no call must not keep a new one out: when every thread is taken, one
// of them closes. Waits only while all run calls; false once the server stops.
bool RpcServer::Impl::WaitForRoom() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopped && connectionThreads >= theMaxConnections) {
        if (connectionThreads - reclaiming >= theMaxConnections) {
            if (Connection* victim = Victim(nullptr)) Reclaim(*victim);
        }
        changed.wait(lock);
    }
    return !stopped;
}

// Out of descriptors, the connection kept waiting in the listen queue may be a caller's while
// idle ones hold the descriptors.
void RpcServer::Impl::ReclaimForDescriptor() {
    std::unique_lock<std::mutex> lock(mutex);
    if (reclaiming == 0) {
        if (Connection* victim = Victim(nullptr)) Reclaim(*victim);
    }
    const bool freeing = reclaiming > 0;
    changed.wait_for(lock, kAcceptRetryPause,
                     [&] { return stopped || (freeing && reclaiming == 0); });
}

// What closes first is the connection that has gone longest without a call: for a thread, one
// that assembles none before one that does; for stub bytes, one that holds some or `holder`,
// which asks for them. Never one running a call; nullptr when there is none.
RpcServer::Impl::Connection* RpcServer::Impl::Victim(const Connection* holder) {
    const auto rank = [holder](const Connection& connection) {
        return std::make_pair(holder == nullptr && connection.held > 0, connection.idleSince);
    };
    Connection* victim = nullptr;
    for (Connection& connection : connections) {
        const bool competes = holder == nullptr || connection.held > 0 || &connection == holder;
        if (!competes || connection.calling || connection.reclaimed) continue;
        if (victim == nullptr || rank(connection) < rank(*victim)) victim = &connection;
    }
    return victim;
}

// Its thread sees the end of the stream at once; what the connection held counts no more.
void RpcServer::Impl::Reclaim(Connection& connection) {
    shutdown(connection.socket.Get(), SHUT_RDWR);
    heldBytes -= connection.held;
    connection.held = 0;
    connection.reclaimed = true;
    ++reclaiming;
}

// Over the limit, the connections that have gone longest without a call are closed, until the
// bytes fit or this one is among them.
bool RpcServer::Impl::Hold(Connection& self, size_t bytes) {
    const std::lock_guard<std::mutex> lock(mutex);
    while (!self.reclaimed && bytes > self.held &&
           heldBytes - self.held + bytes > theMaxHeldBytes) {
        Reclaim(*Victim(&self));  // never null: this one competes too
    }
    if (self.reclaimed) return false;
    heldBytes = heldBytes - self.held + bytes;
    self.held = bytes;
    return true;
}

// Connections are recorded in the order they arrived in, which is the order they rank in.
void RpcServer::Impl::StartConnection(UniqueFd connection) {
    ConnectionEntry self;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        self = connections.emplace(connections.end(), std::move(connection));
        ++connectionThreads;
    }
    try {
        std::thread([this, self] { Serve(self); }).detach();
    } catch (const std::system_error&) {
        End(self);
    }
}

void RpcServer::Impl::Serve(ConnectionEntry self) {
    bool serving;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        serving = !stopped;
    }
    if (serving) Converse(*self);
    End(self);
}

// Closes the connection under the lock, so that nothing shuts down a descriptor number already
// reused. Its thread touches nothing of the server after it lets go of the lock.
void RpcServer::Impl::End(ConnectionEntry self) {
    const std::lock_guard<std::mutex> lock(mutex);
    heldBytes -= self->held;
    reclaiming -= self->reclaimed ? 1 : 0;
    connections.erase(self);
    --connectionThreads;
    changed.notify_all();
}

void RpcServer::Impl::Converse(Connection& self) {
    const std::chrono::milliseconds pduTime(thePduMilliseconds.load());
    // A client that reads no answers must not hold the thread either.
    if (!SetSendTimeout(self.socket.Get(), pduTime)) return;
    PduChannel channel(self.socket.Get());
    Association association(
        interface, endpoint, NewAssociationGroup(), maxRequestStub,
        [this, &self](uint16_t opnum, const std::string& stub) { return Call(self, opnum, stub); },
        [this, &self](size_t bytes) { return Hold(self, bytes); });
    std::optional<Clock::time_point> callDeadline;
    std::string replies;
    bool open = true;
    while (open) {
        // Fragments, empty ones too, do not extend the time a call has to arrive.
        if (!association.CallPending()) {
            callDeadline.reset();
        } else if (!callDeadline) {
            callDeadline = Clock::now() + pduTime;
        }
        const ReadLimits limits{association.MaxReceiveFragment(),
                                std::chrono::milliseconds(theIdleMilliseconds.load()), pduTime,
                                callDeadline};
        replies.clear();
        switch (channel.Read(limits)) {
            case ReadStatus::Pdu:
                open = association.Handle(channel.LastHeader(), channel.LastPdu(), replies);
                break;
            case ReadStatus::BadHeader:
                association.Reject(channel.LastHeader(), channel.LastProblem(), replies);
                open = false;
                break;
            default:
                return;
        }
        if (!replies.empty() && !channel.Write(replies)) return;
    }
}

std::optional<DispatchResult> RpcServer::Impl::Call(Connection& self, uint16_t opnum,
                                                    const std::string& stub) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (stopped || self.reclaimed) return std::nullopt;
        ++callsInProgress;
        self.calling = true;
    }
    DispatchResult result = dispatch(opnum, stub);
    const Clock::time_point ended = Clock::now();
    const std::lock_guard<std::mutex> lock(mutex);
    self.calling = false;
    self.idleSince = ended;
    // A new connection may wait for one that runs no call.
    if (--callsInProgress == 0 || connectionThreads >= theMaxConnections) changed.notify_all();
    return result;
}

uint32_t RpcServer::Impl::NewAssociationGroup() {
    uint32_t group;
    do {
        group = ++lastAssociationGroup;
    } while (group == 0);
    return group;
}

RpcServer::RpcServer() : impl_(std::make_unique<Impl>()) {}

RpcServer::~RpcServer() { impl_->Shutdown(); }

StartResult RpcServer::Start(const std::string& endpoint, const SyntaxId& interface,
                             Dispatch dispatch, size_t largestRequestStub) {
    return impl_->Start(endpoint, interface, std::move(dispatch), largestRequestStub);
}

void RpcServer::Stop() { impl_->Stop(); }

void RpcServer::WaitForCalls(const std::function<void()>& whileWaiting) {
    impl_->WaitForCalls(whileWaiting);
}

}  // namespace platform::rpc

namespace platform::testing {

void OverrideRpcTimeouts(long idleMilliseconds, long pduMilliseconds) {
    rpc::theIdleMilliseconds = idleMilliseconds;
    rpc::thePduMilliseconds = pduMilliseconds;
}

void OverrideRpcCapacity(size_t connections, size_t heldBytes) {
    rpc::theMaxConnections = connections;
    rpc::theMaxHeldBytes = heldBytes;
}

void RestoreRpcLimits() {
    OverrideRpcTimeouts(rpc::kIdleMilliseconds, rpc::kPduMilliseconds);
    OverrideRpcCapacity(rpc::RpcServer::kMaxConcurrentCalls, rpc::kMaxHeldBytes);
}

}  // namespace platform::testing
