#include "platform/rpc/rpc_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/rpc/pdu.h"
#include "platform/posix/unique_fd.h"
#include "platform/rpc/rpc_client.h"
#include "platform/test_seams.h"
#include "tests/support/isolated_env.h"

namespace {

using namespace platform::rpc;
using platform::UniqueFd;

constexpr char kEndpoint[] = "rpcTest";
constexpr SyntaxId kInterface{ParseUuid("5a2d6c4e-1b3f-4a7d-9e8c-0f1e2d3c4b5a").value(), 1, 0};
constexpr SyntaxId kOtherInterface{ParseUuid("12345678-1234-abcd-ef00-0123456789ab").value(), 1, 0};
constexpr SyntaxId kNdr64{ParseUuid("71710533-beba-4937-8319-b5dbef9ccc36").value(), 1, 0};
constexpr SyntaxId kNegotiate{ParseUuid("6cb71c2c-9812-4540-0300-000000000000").value(), 1, 0};
// Long enough to catch a hang as a failure; never reached by a working server.
constexpr std::chrono::seconds kHangGuard{30};
const std::string kAck = "bind_ack(rpcTest) 0/0 | ";
const std::string kServed = kAck + "response op1/12000 | closed";

// Opnums up to 3 answer "op<n>/<request stub size>", 4 answers 5000 bytes.
DispatchResult Echo(uint16_t opnum, const std::string& stub) {
    if (opnum > 4) return DispatchResult::Fault(kOperationRangeError);
    if (opnum == 4) return DispatchResult::Reply(std::string(5000, 'x'));
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

// A raw client connection that has sent `bytes` (the server may close before taking all) and,
// unless `keepWriting`, ended them.
UniqueFd Sent(const std::string& path, std::string_view bytes, bool keepWriting = false) {
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    const timeval guard{kHangGuard.count(), 0};
    setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    ssize_t sent = 0;
    while (!bytes.empty() &&
           (sent = send(socket.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL)) > 0) {
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    if (!keepWriting) shutdown(socket.Get(), SHUT_WR);
    return socket;
}

std::string Describe(PduType type, std::string_view pdu) {
    char text[32];
    if (type == PduType::Fault) {
        std::snprintf(text, sizeof text, "fault %08x", DecodeFault(pdu).value().status);
        return text;
    }
    if (type == PduType::BindNak) return "bind_nak " + std::to_string(DecodeBindNak(pdu).value());
    if (type != PduType::BindAck) return "type " + std::to_string(static_cast<int>(type));
    const BindAck ack = DecodeBindAck(pdu).value();
    std::string description = "bind_ack(" + ack.secondaryAddress + ")";
    for (const ContextResult& result : ack.results) {
        description += " " + std::to_string(result.result) + "/" + std::to_string(result.reason);
    }
    return description;
}

// The PDUs the server sends until it closes the connection, each followed by " | ", then "closed"
// (responses by their joined stub, long ones by its size). Fragments must fit `maxReceive`.
std::string Transcript(const UniqueFd& connection, size_t maxReceive = 5840) {
    std::string bytes, text, stub;
    char chunk[8192];
    ssize_t got;
    while ((got = recv(connection.Get(), chunk, sizeof chunk, 0)) > 0) bytes.append(chunk, got);
    if (got < 0 && errno == EAGAIN) return "no answer";
    std::string_view rest = bytes;
    for (std::optional<Header> header; (header = DecodeHeader(rest)) &&
                                       header->fragmentLength >= kHeaderSize &&
                                       header->fragmentLength <= rest.size();) {
        const std::string_view pdu = rest.substr(0, header->fragmentLength);
        rest.remove_prefix(pdu.size());
        EXPECT_LE(pdu.size(), maxReceive);
        if (header->type != PduType::Response) {
            text += Describe(header->type, pdu) + " | ";
            continue;
        }
        stub += DecodeResponse(pdu).value().stub;
        if ((header->flags & kLastFragment) == 0) continue;
        text += "response " + (stub.size() > 32 ? std::to_string(stub.size()) : stub) + " | ";
        stub.clear();
    }
    return text + (rest.empty() ? "closed" : "a cut PDU");
}

class RpcServerTest : public tern_test::IsolatedTest {
protected:
    void SetUp() override { platform::testing::OverrideRpcTimeouts(300, 300); }
    void TearDown() override { platform::testing::RestoreRpcLimits(); }
    std::string SocketPath() const { return env_.RuntimeDir() + "/" + kEndpoint; }
    // A call in fragments on a new connection: kServed when it is answered.
    std::string FreshCall() const {
        return Transcript(Sent(SocketPath(), RealBind() + CallOf(1, 0, 12000, 1432)));
    }

    RpcServer server_;
};

TEST_F(RpcServerTest, AnswersEveryPduAsTheProtocolSaysAndKeepsServing) {
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    const std::string bind = RealBind(), call = CallOf(1), refused = "fault 1c01000b | closed";
    const struct {
        const char* name;
        std::string sent;
        std::string replies;
        size_t maxReceive = 5840;
        bool keepWriting = false;  // for the server's timeouts
    } cases[] = {
        {"bind", bind, kAck + "closed"},
        {"NDR64 and feature negotiation",
         BindOf(
             {{0, kInterface, {kNdr20}}, {1, kInterface, {kNdr64}}, {2, kInterface, {kNegotiate}}}),
         "bind_ack(rpcTest) 0/0 2/2 2/2 | closed"},
        {"unknown interface", BindOf({{0, kOtherInterface, {kNdr20}}}) + call,
         "bind_ack(rpcTest) 2/1 | fault 1c010003 | closed"},
        {"version 4", Patched(bind, 0, "\x04"), "bind_nak 4 | closed"},
        {"opnum out of range", bind + CallOf(9) + call,
         kAck + "fault 1c010002 | response op1/0 | closed"},
        {"small fragments", RealBind(1432) + CallOf(4), kAck + "response 5000 | closed", 1432},
        {"stub over the limit", bind + CallOf(1, 0, kLargestStub + 8), kAck + refused},
        {"request before bind", call, refused},
        {"fragment shorter than a header", bind + Patched(call, 8, Le16(10)), kAck + refused},
        {"oversized fragment", RealBind(5840, 1432) + Patched(call, 8, Le16(3000)), kAck + refused},
        {"unknown packet type", bind + Patched(call, 2, "\x63"), kAck + refused},
        {"truncated header", bind.substr(0, 9), "closed"},
        {"disconnect inside a PDU", bind + call.substr(0, 20), kAck + "closed"},
        {"connect and send nothing", "", "closed", 5840, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Transcript(Sent(SocketPath(), row.sent, row.keepWriting), row.maxReceive),
                  row.replies);
        EXPECT_EQ(FreshCall(), kServed);
    }
    // Empty fragments give a call no more time to arrive: the server ends it, sends then fail.
    const UniqueFd dripping =
        Sent(SocketPath(), bind + CallOf(1, 0, 3000, 1432).substr(0, 1432), true);
    const std::string empty = Patched(call, 3, std::string(1, '\0'));
    int sends = 0;
    while (sends < 600 && send(dripping.Get(), empty.data(), empty.size(), MSG_NOSIGNAL) > 0) {
        ++sends;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_LT(sends, 600);
}

// Each dispatch waits until every call has arrived: all are answered only if all run at once.
TEST_F(RpcServerTest, ServesAThousandConnectionsAtOnce) {
    constexpr size_t kConnections = 1000;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    setrlimit(RLIMIT_NOFILE, &files);
    std::atomic<size_t> arrived{0};
    std::promise<void> allArrived;
    ASSERT_EQ(
        server_.Start(kEndpoint, kInterface,
                      [&, all = allArrived.get_future().share()](uint16_t, const std::string&) {
                          if (++arrived == kConnections) allArrived.set_value();
                          all.wait_for(kHangGuard);
                          return DispatchResult::Reply("done");
                      }),
        StartResult::Started);
    std::vector<UniqueFd> connections;
    for (size_t i = 0; i < kConnections; ++i) {
        connections.push_back(Sent(SocketPath(), RealBind() + CallOf(1)));
    }
    size_t answered = 0;
    for (const UniqueFd& connection : connections) {
        answered += Transcript(connection) == kAck + "response done | closed";
    }
    EXPECT_EQ(answered, kConnections);
}

// Only reclaiming ends idle and half-sent connections here. Three connections at most, and
// what one 1432-byte fragment holds: a second half-sent call closes the first, a complete call
// the connection idle longest; a call over the interface's stub limit is refused.
TEST_F(RpcServerTest, IdleAndHalfSentConnectionsGiveWayToCompleteCalls) {
    platform::testing::OverrideRpcTimeouts(60000, 60000);
    platform::testing::OverrideRpcCapacity(3, 2000);
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo, 2000), StartResult::Started);
    EXPECT_EQ(FreshCall(), kAck + "fault 1c01000b | closed");
    const std::string halfSent = RealBind() + CallOf(1, 0, 12000, 1432).substr(0, 1432);
    const UniqueFd first = Sent(SocketPath(), halfSent, true);
    const UniqueFd second = Sent(SocketPath(), halfSent, true);
    EXPECT_EQ(Transcript(first), kAck + "closed");
    const UniqueFd idle = Sent(SocketPath(), "", true);
    const UniqueFd newerIdle = Sent(SocketPath(), "", true);
    platform::Expected<RpcClient, RpcError> client = RpcClient::Connect(kEndpoint, kInterface);
    ASSERT_TRUE(client) << client.Error().detail;
    const platform::Expected<std::string, RpcError> answer = client.Value().Call(1, "");
    EXPECT_EQ(answer ? answer.Value() : answer.Error().detail, "op1/0");
    EXPECT_EQ(Transcript(idle), "closed");
}

// A call in progress when the server stops is answered.
TEST_F(RpcServerTest, StopDuringACallLetsItFinishAndTakesNoNewOnes) {
    std::promise<void> entered, release;
    ASSERT_EQ(
        server_.Start(kEndpoint, kInterface,
                      [&, released = release.get_future().share()](uint16_t, const std::string&) {
                          entered.set_value();
                          released.wait_for(kHangGuard);
                          return DispatchResult::Reply("released");
                      }),
        StartResult::Started);
    const UniqueFd connection = Sent(SocketPath(), RealBind() + CallOf(1), true);
    entered.get_future().wait_for(kHangGuard);
    server_.Stop();
    EXPECT_EQ(FreshCall(), "closed");
    release.set_value();
    server_.WaitForCalls();
    EXPECT_EQ(Transcript(connection), kAck + "response released | closed");
}

std::string Mutated(std::string pdu, std::mt19937& random) {
    const unsigned kind = random() % 4;
    if (kind == 0) return Patched(pdu, 8, Le16(random()));  // the fragment length
    if (kind == 1) return pdu.substr(0, random() % pdu.size());
    if (kind == 2) return pdu + std::string(random() % 32, static_cast<char>(random()));
    pdu[random() % kHeaderSize] ^= static_cast<char>(random());
    pdu[random() % pdu.size()] ^= static_cast<char>(random());
    return pdu;
}

TEST_F(RpcServerTest, SurvivesAHundredThousandRandomAndMutatedPdus) {
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    const std::string seeds[] = {RealBind(),
                                 BindOf({{4, kInterface, {kNdr20, kNdr64}}}, PduType::AlterContext),
                                 CallOf(4), CallOf(2, 0, 3000, 1432)};
    std::mt19937 random(20240611);  // the same PDUs in every run
    size_t hangs = 0;
    for (size_t sent = 0; sent < 100000;) {
        std::string bytes = random() % 2 ? RealBind() : "";
        for (unsigned i = random() % 8 + 1; i > 0; --i, ++sent) {
            bytes += Mutated(seeds[random() % std::size(seeds)], random);
        }
        hangs += Transcript(Sent(SocketPath(), bytes)) == "no answer";
    }
    EXPECT_EQ(hangs, 0u);
    EXPECT_EQ(FreshCall(), kServed);
}

TEST_F(RpcServerTest, RegistersAPrivateSocketReplacingOnlyStaleOnes) {
    // What a crashed server leaves: a socket file nobody listens on.
    ASSERT_EQ(mknod(SocketPath().c_str(), S_IFSOCK | 0600, 0), 0);
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    EXPECT_EQ(std::filesystem::status(SocketPath()).permissions(), std::filesystem::perms(0600));
    EXPECT_EQ(std::filesystem::status(env_.RuntimeDir()).permissions(),
              std::filesystem::perms(0700));
    RpcServer intruder;
    EXPECT_EQ(intruder.Start(kEndpoint, kInterface, Echo), StartResult::EndpointInUse);
    EXPECT_EQ(FreshCall(), kServed);
}

}  // namespace
