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
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "platform/fd_io.h"
#include "platform/rpc/association.h"
#include "platform/rpc/local_endpoint.h"
#include "platform/rpc/pdu_channel.h"
#include "platform/test_seams.h"
#include "platform/unique_fd.h"

namespace platform::rpc {
namespace {

// A client may keep its connection between calls, but not forever: the thread it holds could
// serve another. A PDU once begun must arrive whole in far less.
constexpr long kIdleMilliseconds = 60000;
constexpr long kPduMilliseconds = 10000;
// After a failed accept for want of descriptors or memory, before trying again.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};

std::atomic<long> theIdleMilliseconds{kIdleMilliseconds};
std::atomic<long> thePduMilliseconds{kPduMilliseconds};

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
    StartResult Start(const std::string& endpointName, const SyntaxId& served, Dispatch call);
    void Stop();
    void WaitForCalls(const std::function<void()>& whileWaiting);
    void Shutdown();

    void Listen();
    void StartConnection(UniqueFd connection);
    void Serve(UniqueFd connection);
    void Converse(int connection);
    std::optional<DispatchResult> Call(uint16_t opnum, const std::string& stub);
    void RemoveSocketFile();
    uint32_t NewAssociationGroup();

    std::string endpoint;
    SyntaxId interface;
    Dispatch dispatch;
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
    std::unordered_set<int> connections;
};

StartResult RpcServer::Impl::Start(const std::string& endpointName, const SyntaxId& served,
                                   Dispatch call) {
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
        for (const int connection : connections) shutdown(connection, SHUT_RD);
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
        for (const int connection : connections) shutdown(connection, SHUT_RDWR);
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
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] {
                return stopped || connectionThreads < RpcServer::kMaxConcurrentCalls;
            });
            if (stopped) break;
        }
        pollfd watched[2] = {{listenSocket.Get(), POLLIN, 0}, {wake.Get(), POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[1].revents != 0) break;
        UniqueFd connection(accept4(listenSocket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection.Valid()) {
            StartConnection(std::move(connection));
        } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, kAcceptRetryPause, [this] { return stopped; });
        }
    }
    listenSocket.Reset();
}

void RpcServer::Impl::StartConnection(UniqueFd connection) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        ++connectionThreads;
    }
    try {
        std::thread([this, socketFd = std::move(connection)]() mutable {
            Serve(std::move(socketFd));
        }).detach();
    } catch (const std::system_error&) {
        const std::lock_guard<std::mutex> lock(mutex);
        --connectionThreads;
        changed.notify_all();
    }
}

void RpcServer::Impl::Serve(UniqueFd connection) {
    bool serving;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        serving = !stopped;
        if (serving) connections.insert(connection.Get());
    }
    if (serving) Converse(connection.Get());
    // Under the lock, so that Stop never shuts down a descriptor number already reused. This
    // thread touches nothing of the server after it lets go of the lock.
    const std::lock_guard<std::mutex> lock(mutex);
    connections.erase(connection.Get());
    connection.Reset();
    --connectionThreads;
    changed.notify_all();
}

void RpcServer::Impl::Converse(int connection) {
    // A client that reads no answers must not hold the thread either.
    if (!SetSendTimeout(connection, std::chrono::milliseconds(thePduMilliseconds.load()))) return;
    PduChannel channel(connection);
    Association association(
        interface, endpoint, NewAssociationGroup(),
        [this](uint16_t opnum, const std::string& stub) { return Call(opnum, stub); });
    std::string replies;
    bool open = true;
    while (open) {
        const ReadLimits limits{association.MaxReceiveFragment(),
                                std::chrono::milliseconds(theIdleMilliseconds.load()),
                                std::chrono::milliseconds(thePduMilliseconds.load())};
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

std::optional<DispatchResult> RpcServer::Impl::Call(uint16_t opnum, const std::string& stub) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (stopped) return std::nullopt;
        ++callsInProgress;
    }
    DispatchResult result = dispatch(opnum, stub);
    const std::lock_guard<std::mutex> lock(mutex);
    if (--callsInProgress == 0) changed.notify_all();
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
                             Dispatch dispatch) {
    return impl_->Start(endpoint, interface, std::move(dispatch));
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

void RestoreRpcTimeouts() { OverrideRpcTimeouts(rpc::kIdleMilliseconds, rpc::kPduMilliseconds); }

}  // namespace platform::testing
