#include "platform/rpc/rpc_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc_client.h"
#include "platform/test_seams.h"
#include "platform/unique_fd.h"
#include "tests/support/isolated_env.h"

namespace {

using namespace platform::rpc;
using platform::UniqueFd;

constexpr char kEndpoint[] = "rpcTest";
constexpr SyntaxId kInterface{ParseUuid("5a2d6c4e-1b3f-4a7d-9e8c-0f1e2d3c4b5a").value(), 1, 0};
constexpr SyntaxId kOtherInterface{ParseUuid("12345678-1234-abcd-ef00-0123456789ab").value(), 1, 0};
constexpr SyntaxId kNdr64{ParseUuid("71710533-beba-4937-8319-b5dbef9ccc36").value(), 1, 0};
constexpr SyntaxId kNego{ParseUuid("6cb71c2c-9812-4540-0300-000000000000").value(), 1, 0};
constexpr uint16_t kLargeOpnum = 4;
// Long enough to catch a hang as a failure; never reached by a working server.
constexpr std::chrono::seconds kHangGuard{30};
const std::string kAck = "bind_ack(rpcTest) 0/0 | ";

// Opnums below kLargeOpnum answer "op<n>/<request stub size>", kLargeOpnum 5000 bytes.
DispatchResult Echo(uint16_t opnum, const std::string& stub) {
    if (opnum > kLargeOpnum) return DispatchResult::Fault(kOperationRangeError);
    if (opnum == kLargeOpnum) return DispatchResult::Reply(std::string(5000, 'x'));
    return DispatchResult::Reply("op" + std::to_string(opnum) + "/" + std::to_string(stub.size()));
}

std::string BindOf(std::vector<PresentationContext> contexts, PduType type = PduType::Bind,
                   uint16_t maxReceive = 5840, uint16_t maxTransmit = 5840) {
    return EncodeBind(type, 1, Bind{maxTransmit, maxReceive, 0, std::move(contexts)});
}

std::string RealBind(uint16_t maxReceive = 5840, uint16_t maxTransmit = 5840) {
    return BindOf({{0, kInterface, {kNdr20}}}, PduType::Bind, maxReceive, maxTransmit);
}

std::string CallOf(uint16_t opnum, uint16_t context = 0, size_t stub = 0, size_t fragment = 5840) {
    return EncodeRequest(7, context, opnum, std::string(stub, 's'), fragment);
}

std::string Patched(std::string pdu, size_t offset, std::string_view bytes) {
    return pdu.replace(offset, bytes.size(), bytes);
}

std::string Le16(size_t value) {
    return {static_cast<char>(value & 0xff), static_cast<char>(value >> 8 & 0xff)};
}

UniqueFd UnixSocket(const std::string& path, int (*attach)(int, const sockaddr*, socklen_t)) {
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (attach(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        socket.Reset();
    }
    return socket;
}

// A raw client connection that has sent `bytes` (the server may close before taking all) and,
// unless `keepWriting`, ended them.
UniqueFd Sent(const std::string& path, std::string_view bytes, bool keepWriting = false) {
    UniqueFd socket = UnixSocket(path, ::connect);
    const timeval guard{kHangGuard.count(), 0};
    setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    for (ssize_t sent = 0; !bytes.empty() && sent >= 0; bytes.remove_prefix(sent)) {
        sent = send(socket.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    if (!keepWriting) shutdown(socket.Get(), SHUT_WR);
    return socket;
}

// Everything the server sends until it closes the connection; nullopt when it does not.
std::optional<std::string> Received(const UniqueFd& socket) {
    std::string bytes;
    char buffer[8192];
    ssize_t got;
    while ((got = recv(socket.Get(), buffer, sizeof buffer, 0)) > 0) bytes.append(buffer, got);
    if (got < 0 && errno == EAGAIN) return std::nullopt;  // the guard ran out
    return bytes;
}

// A PDU in short form: "bind_ack(<address>) <result>/<reason>...", "bind_nak <reason>", "fault
// <status>", "response <stub of all fragments>" (long ones by size).
std::string Describe(const Header& header, std::string_view pdu, const std::string& stub) {
    char status[16] = "";
    switch (header.type) {
        case PduType::BindAck: {
            const BindAck ack = DecodeBindAck(pdu).value();
            std::string text = "bind_ack(" + ack.secondaryAddress + ")";
            for (const ContextResult& result : ack.results) {
                text += " " + std::to_string(result.result) + "/" + std::to_string(result.reason);
            }
            return text;
        }
        case PduType::BindNak:
            return "bind_nak " + std::to_string(DecodeBindNak(pdu).value());
        case PduType::Response:
            return "response " +
                   (stub.size() <= 32 ? stub : std::to_string(stub.size()) + " bytes");
        case PduType::Fault:
            std::snprintf(status, sizeof status, "%08x", DecodeFault(pdu).value().status);
            return std::string("fault ") + status;
        default:
            return "type " + std::to_string(static_cast<int>(header.type));
    }
}

// The PDUs of `received`, each followed by " | ", then "closed". Every fragment must respect the
// client's `maxReceive`.
std::string Transcript(std::optional<std::string> received, size_t maxReceive = 5840) {
    if (!received) return "no answer";
    std::string_view rest = *received;
    std::string text, stub;
    for (std::optional<Header> header; (header = DecodeHeader(rest)) &&
                                       header->fragmentLength >= kHeaderSize &&
                                       header->fragmentLength <= rest.size();) {
        const std::string_view pdu = rest.substr(0, header->fragmentLength);
        rest.remove_prefix(pdu.size());
        EXPECT_LE(pdu.size(), maxReceive);
        if (header->type == PduType::Response) stub += DecodeResponse(pdu).value().stub;
        if (header->type == PduType::Response && (header->flags & kLastFragment) == 0) continue;
        text += Describe(*header, pdu, stub) + " | ";
        stub.clear();
    }
    return text + (rest.empty() ? "closed" : "a cut PDU");
}

class RpcServerTest : public tern_test::IsolatedTest {
protected:
    void SetUp() override { platform::testing::OverrideRpcTimeouts(300, 300); }
    void TearDown() override { platform::testing::RestoreRpcTimeouts(); }

    std::string SocketPath() const { return env_.RuntimeDir() + "/" + kEndpoint; }

    static std::string CallWithFreshClient(uint16_t opnum, const std::string& stub = "") {
        auto client = RpcClient::Connect(kEndpoint, kInterface);
        if (!client) return "connect: " + client.Error().detail;
        auto answer = client.Value().Call(opnum, stub);
        return answer ? answer.Value() : "call: " + answer.Error().detail;
    }

    RpcServer server_;
};

TEST_F(RpcServerTest, AnswersEveryPduAsTheProtocolSaysAndKeepsServing) {
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    const std::string protocolError = "fault 1c01000b | closed";
    const std::string request = CallOf(1);
    const struct {
        const char* name;
        std::string sent;
        std::string replies;
        size_t maxReceive = 5840;
        bool keepWriting = false;  // for the server's timeouts
    } cases[] = {
        {"bind", RealBind(), kAck + "closed"},
        {"bind with NDR64 and feature negotiation",
         BindOf({{0, kInterface, {kNdr20}}, {1, kInterface, {kNdr64}}, {2, kInterface, {kNego}}}),
         "bind_ack(rpcTest) 0/0 2/2 2/2 | closed"},
        {"bind to an unknown interface", BindOf({{0, kOtherInterface, {kNdr20}}}) + request,
         "bind_ack(rpcTest) 2/1 | fault 1c010003 | closed"},
        {"protocol version 4", Patched(RealBind(), 0, "\x04"), "bind_nak 4 | closed"},
        {"opnum out of range", RealBind() + CallOf(9) + request,
         kAck + "fault 1c010002 | response op1/0 | closed"},
        {"response fragments within the client's limit", RealBind(1432) + CallOf(kLargeOpnum),
         kAck + "response 5000 bytes | closed", 1432},
        {"fragmented request", RealBind() + CallOf(1, 0, 12000, 1432),
         kAck + "response op1/12000 | closed"},
        {"request beyond the size limit", RealBind() + CallOf(1, 0, kLargestStub + 8),
         kAck + protocolError},
        {"request before bind", request, protocolError},
        {"fragment length below the header", RealBind() + Patched(request, 8, Le16(10)),
         kAck + protocolError},
        {"fragment length above the negotiated one",
         RealBind(5840, 1432) + Patched(request, 8, Le16(3000)), kAck + protocolError},
        {"unknown packet type", RealBind() + Patched(request, 2, "\x63"), kAck + protocolError},
        {"truncated header", RealBind().substr(0, 9), "closed"},
        {"disconnect inside a PDU", RealBind() + request.substr(0, 20), kAck + "closed"},
        {"connect and send nothing", "", "closed", 5840, true},
        {"half-sent PDU", RealBind() + request.substr(0, 20), kAck + "closed", 5840, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const UniqueFd connection = Sent(SocketPath(), row.sent, row.keepWriting);
        EXPECT_EQ(Transcript(Received(connection), row.maxReceive), row.replies);
        // Both directions in several fragments.
        EXPECT_EQ(CallWithFreshClient(kLargeOpnum, std::string(9000, 'r')), std::string(5000, 'x'));
    }
}

// Each dispatch waits until every call has arrived: all are answered only if all run at once.
TEST_F(RpcServerTest, ServesAThousandConnectionsAtOnce) {
    constexpr size_t kConnections = 1000;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    setrlimit(RLIMIT_NOFILE, &files);
    std::mutex mutex;
    std::condition_variable arrivedSignal;
    size_t arrived = 0;
    const auto giveUp = std::chrono::steady_clock::now() + kHangGuard;
    ASSERT_EQ(server_.Start(kEndpoint, kInterface,
                            [&](uint16_t, const std::string&) {
                                std::unique_lock<std::mutex> lock(mutex);
                                ++arrived;
                                arrivedSignal.notify_all();
                                arrivedSignal.wait_until(lock, giveUp,
                                                         [&] { return arrived == kConnections; });
                                return DispatchResult::Reply("done");
                            }),
              StartResult::Started);
    std::vector<UniqueFd> connections;
    for (size_t i = 0; i < kConnections; ++i) {
        connections.push_back(Sent(SocketPath(), RealBind() + CallOf(1)));
    }
    size_t answered = 0;
    for (const UniqueFd& connection : connections) {
        answered += Transcript(Received(connection)) == kAck + "response done | closed";
    }
    EXPECT_EQ(answered, kConnections);
}

// A call in progress when the server stops is answered, and WaitForCalls waits for it.
TEST_F(RpcServerTest, StopDuringACallLetsItFinishAndTakesNoNewOnes) {
    std::promise<void> entered;
    std::promise<void> release;
    std::once_flag releaseOnce;
    std::atomic<bool> callEnded{false};
    ASSERT_EQ(
        server_.Start(kEndpoint, kInterface,
                      [&, released = release.get_future().share()](uint16_t, const std::string&) {
                          entered.set_value();
                          released.wait_for(kHangGuard);
                          callEnded = true;
                          return DispatchResult::Reply("released");
                      }),
        StartResult::Started);
    const UniqueFd connection = Sent(SocketPath(), RealBind() + CallOf(1), true);
    entered.get_future().wait_for(kHangGuard);
    server_.Stop();
    EXPECT_FALSE(tern_test::FileExists(SocketPath()));
    EXPECT_EQ(RpcClient::Connect(kEndpoint, kInterface).Error().kind, RpcErrorKind::NotRunning);
    server_.WaitForCalls([&] { std::call_once(releaseOnce, [&] { release.set_value(); }); });
    EXPECT_TRUE(callEnded);
    EXPECT_EQ(Transcript(Received(connection)), kAck + "response released | closed");
}

std::string Mutated(std::string pdu, std::mt19937& random) {
    switch (random() % 4) {
        case 0:
            pdu[random() % kHeaderSize] ^= static_cast<char>(random());
            pdu[random() % pdu.size()] ^= static_cast<char>(random());
            return pdu;
        case 1:
            return Patched(pdu, 8, Le16(random()));
        case 2:
            return pdu.substr(0, random() % pdu.size());
        default:
            return pdu + std::string(random() % 32, static_cast<char>(random()));
    }
}

TEST_F(RpcServerTest, SurvivesAHundredThousandRandomAndMutatedPdus) {
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    const std::vector<std::string> seeds = {
        RealBind(),
        BindOf({{0, kInterface, {kNdr20, kNdr64}}, {1, kOtherInterface, {kNdr20}}}),
        BindOf({{4, kInterface, {kNdr20}}}, PduType::AlterContext),
        CallOf(0),
        CallOf(kLargeOpnum),
        CallOf(2, 0, 3000, 1432),
        EncodeFault(3, 0, Fault{0, kProtocolError}),
    };
    std::mt19937 random(20240611);  // the same PDUs in every run
    size_t hangs = 0;
    for (size_t sent = 0; sent < 100000;) {
        std::string bytes = random() % 2 ? RealBind() : "";
        for (unsigned i = random() % 8 + 1; i > 0; --i, ++sent) {
            bytes += Mutated(seeds[random() % seeds.size()], random);
        }
        hangs += !Received(Sent(SocketPath(), bytes));
    }
    EXPECT_EQ(hangs, 0u);
    EXPECT_EQ(CallWithFreshClient(1), "op1/0");
}

mode_t Permissions(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(RpcServerTest, RegistersAPrivateSocketReplacingOnlyStaleOnes) {
    // What a crashed server leaves: a socket file nobody listens on.
    ASSERT_TRUE(UnixSocket(SocketPath(), ::bind).Valid());
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    EXPECT_EQ(Permissions(SocketPath()), 0600u);
    EXPECT_EQ(Permissions(env_.RuntimeDir()), 0700u);
    RpcServer intruder;
    EXPECT_EQ(intruder.Start(kEndpoint, kInterface, Echo), StartResult::EndpointInUse);
    EXPECT_EQ(CallWithFreshClient(2), "op2/0");
    EXPECT_EQ(intruder.Start("../escape", kInterface, Echo), StartResult::Unusable);
}

}  // namespace
