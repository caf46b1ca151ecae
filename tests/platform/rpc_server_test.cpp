#include "platform/rpc/rpc_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
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
using platform::MakeUnexpected;
using platform::UniqueFd;

constexpr char kEndpoint[] = "rpcTest";
constexpr SyntaxId kInterface{ParseUuid("5a2d6c4e-1b3f-4a7d-9e8c-0f1e2d3c4b5a").value(), 1, 0};
constexpr SyntaxId kNewerInterface{kInterface.uuid, 1, 1};
constexpr SyntaxId kOtherInterface{ParseUuid("12345678-1234-abcd-ef00-0123456789ab").value(), 1, 0};
constexpr SyntaxId kNdr64{ParseUuid("71710533-beba-4937-8319-b5dbef9ccc36").value(), 1, 0};
constexpr SyntaxId kFeatureNegotiation{ParseUuid("6cb71c2c-9812-4540-0300-000000000000").value(), 1,
                                       0};
constexpr uint16_t kLargeOpnum = 4;
// Long enough to catch a hang as a failure; never reached by a working server.
constexpr std::chrono::seconds kHangGuard{30};

// Opnums below kLargeOpnum answer "op<n>/<request stub size>", kLargeOpnum 5000 bytes.
DispatchResult Echo(uint16_t opnum, const std::string& stub) {
    if (opnum < kLargeOpnum) {
        return DispatchResult::Reply("op" + std::to_string(opnum) + "/" +
                                     std::to_string(stub.size()));
    }
    if (opnum == kLargeOpnum) return DispatchResult::Reply(std::string(5000, 'x'));
    return DispatchResult::Fault(kOperationRangeError);
}

std::string BindOf(std::vector<PresentationContext> contexts, uint16_t maxReceive = 5840,
                   uint16_t maxTransmit = 5840, PduType type = PduType::Bind) {
    return EncodeBind(type, 1, Bind{maxTransmit, maxReceive, 0, std::move(contexts)});
}

std::string RealBind(uint16_t maxReceive = 5840, uint16_t maxTransmit = 5840) {
    return BindOf({{0, kInterface, {kNdr20}}}, maxReceive, maxTransmit);
}

std::string CallOf(uint16_t opnum, uint16_t context = 0, size_t stubSize = 0,
                   size_t fragment = 5840) {
    return EncodeRequest(7, context, opnum, std::string(stubSize, 's'), fragment);
}

std::string Patched(std::string pdu, size_t offset, std::string_view bytes) {
    pdu.replace(offset, bytes.size(), bytes);
    return pdu;
}

std::string Le16(size_t value) {
    return {static_cast<char>(value & 0xff), static_cast<char>(value >> 8 & 0xff)};
}

// An 8-byte authentication trailer and 16 bytes of credentials after the body.
std::string WithAuthTrailer(std::string pdu) {
    pdu += std::string(24, '\x0a');
    return Patched(Patched(pdu, 8, Le16(pdu.size())), 10, Le16(16));
}

std::string BareHeader(PduType type) {
    return Patched(Patched(CallOf(0).substr(0, 16), 2, {reinterpret_cast<const char*>(&type), 1}),
                   8, Le16(16));
}

class RawConnection {
public:
    explicit RawConnection(const std::string& path)
        : socket_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        const timeval guard{kHangGuard.count(), 0};
        setsockopt(socket_.Get(), SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
        connect(socket_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }

    // The server may close the connection before it has taken everything.
    void Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = send(socket_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0) return;
            bytes.remove_prefix(static_cast<size_t>(sent));
        }
    }

    void EndWriting() { shutdown(socket_.Get(), SHUT_WR); }

    // The next PDU; nullopt once the server closed the connection.
    std::optional<std::string> ReadPdu() {
        std::string pdu;
        if (!ReadBytes(kHeaderSize, pdu)) return std::nullopt;
        const size_t length = DecodeHeader(pdu)->fragmentLength;
        if (length < kHeaderSize || !ReadBytes(length - kHeaderSize, pdu)) return std::nullopt;
        return pdu;
    }

    bool TimedOut() const { return timedOut_; }

private:
    bool ReadBytes(size_t count, std::string& out) {
        while (count > 0) {
            char buffer[8192];
            const ssize_t got = recv(socket_.Get(), buffer, std::min(count, sizeof buffer), 0);
            if (got <= 0) {
                timedOut_ = got < 0 && errno == EAGAIN;
                return false;
            }
            out.append(buffer, static_cast<size_t>(got));
            count -= static_cast<size_t>(got);
        }
        return true;
    }

    UniqueFd socket_;
    bool timedOut_ = false;
};

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string DescribeAck(PduType type, const BindAck& ack) {
    std::string text = type == PduType::BindAck ? "bind_ack(" : "alter_resp(";
    text += ack.secondaryAddress + ")";
    for (const ContextResult& result : ack.results) {
        text += " " + std::to_string(result.result) + "/" + std::to_string(result.reason);
    }
    EXPECT_NE(ack.associationGroup, 0u);
    return text;
}

// The next reply in a short form: "bind_ack(<address>) <result>/<reason>...", "bind_nak
// <reason>", "fault <status>", "response <stub>" (fragments joined; long stubs by size) or
// "closed". Every fragment must respect the client's `maxReceive`.
std::string NextReply(RawConnection& connection, size_t maxReceive) {
    std::optional<std::string> pdu = connection.ReadPdu();
    if (!pdu) return connection.TimedOut() ? "no answer" : "closed";
    EXPECT_LE(pdu->size(), maxReceive);
    const Header header = *DecodeHeader(*pdu);
    switch (header.type) {
        case PduType::BindAck:
        case PduType::AlterContextResponse:
            return DescribeAck(header.type, DecodeBindAck(*pdu).value());
        case PduType::BindNak:
            return "bind_nak " + std::to_string(DecodeBindNak(*pdu).value());
        case PduType::Fault:
            return "fault " + Hex(DecodeFault(*pdu).value().status);
        case PduType::Response: {
            std::string stub(DecodeResponse(*pdu).value().stub);
            size_t fragments = 1;
            while ((DecodeHeader(*pdu)->flags & kLastFragment) == 0) {
                pdu = connection.ReadPdu();
                if (!pdu) return "response cut short";
                EXPECT_LE(pdu->size(), maxReceive);
                stub += DecodeResponse(*pdu).value().stub;
                ++fragments;
            }
            if (stub.size() <= 32) return "response " + stub;
            return "response " + std::to_string(stub.size()) + " bytes in " +
                   std::to_string(fragments) + " fragments";
        }
        default:
            return "unexpected type " + std::to_string(static_cast<int>(header.type));
    }
}

class RpcServerTest : public tern_test::IsolatedTest {
protected:
    void SetUp() override { platform::testing::OverrideRpcTimeouts(300, 300); }
    void TearDown() override { platform::testing::RestoreRpcTimeouts(); }

    std::string SocketPath() const { return env_.RuntimeDir() + "/" + kEndpoint; }

    static std::string CallWithFreshClient(uint16_t opnum) {
        auto client = RpcClient::Connect(kEndpoint, kInterface);
        if (!client) return "connect: " + client.Error().detail;
        auto answer = client.Value().Call(opnum, "");
        return answer ? answer.Value() : "call: " + answer.Error().detail;
    }

    RpcServer server_;
};

struct RawCase {
    const char* name;
    std::string sent;
    std::vector<std::string> replies;
    bool endWriting = false;
    size_t maxReceive = 5840;
};

TEST_F(RpcServerTest, AnswersEveryPduAsTheProtocolSaysAndKeepsServing) {
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    const std::string ack = "bind_ack(rpcTest) 0/0";
    const std::string protocolError = "fault 1c01000b";
    const std::string request = CallOf(1);
    const std::vector<RawCase> cases = {
        {"bind", RealBind(), {ack}},
        {"bind with NDR64 and feature negotiation",
         BindOf({{0, kInterface, {kNdr20}},
                 {1, kInterface, {kNdr64}},
                 {2, kInterface, {kFeatureNegotiation}}}),
         {ack + " 2/2 2/2"}},
        {"bind to an unknown interface",
         BindOf({{0, kOtherInterface, {kNdr20}}}) + request,
         {"bind_ack(rpcTest) 2/1", "fault 1c010003"}},
        {"bind to a newer minor version",
         BindOf({{0, kNewerInterface, {kNdr20}}}),
         {"bind_ack(rpcTest) 2/1"}},
        {"bind without NDR", BindOf({{0, kInterface, {kNdr64}}}), {"bind_ack(rpcTest) 2/2"}},
        {"bind with authentication", WithAuthTrailer(RealBind()), {"bind_nak 8", "closed"}},
        {"second bind", RealBind() + RealBind(), {ack, "bind_nak 0", "closed"}},
        {"protocol version 5.1", Patched(RealBind(), 1, "\x01"), {ack}},
        {"protocol version 4", Patched(RealBind(), 0, "\x04"), {"bind_nak 4", "closed"}},
        {"every opnum",
         RealBind() + CallOf(0) + CallOf(1) + CallOf(2) + CallOf(3),
         {ack, "response op0/0", "response op1/0", "response op2/0", "response op3/0"}},
        {"opnum out of range",
         RealBind() + CallOf(9) + request,
         {ack, "fault 1c010002", "response op1/0"}},
        {"response fragments within the client's limit",
         RealBind(1432) + CallOf(kLargeOpnum),
         {ack, "response 5000 bytes in 4 fragments"},
         false,
         1432},
        {"client announcing less than the minimum",
         RealBind(100) + CallOf(kLargeOpnum),
         {ack, "response 5000 bytes in 4 fragments"},
         false,
         1432},
        {"fragmented request", RealBind() + CallOf(1, 0, 12000, 1432), {ack, "response op1/12000"}},
        {"request beyond the size limit",
         RealBind() + CallOf(1, 0, kLargestStub + 8),
         {ack, protocolError, "closed"}},
        {"alter_context",
         RealBind() + BindOf({{3, kInterface, {kNdr20}}}, 5840, 5840, PduType::AlterContext) +
             CallOf(2, 3),
         {ack, "alter_resp() 0/0", "response op2/0"}},
        {"alter_context before bind",
         BindOf({{3, kInterface, {kNdr20}}}, 5840, 5840, PduType::AlterContext),
         {protocolError, "closed"}},
        {"request before bind", request, {protocolError, "closed"}},
        {"unknown context id",
         RealBind() + CallOf(1, 5) + request,
         {ack, "fault 1c010003", "response op1/0"}},
        {"fragment length below the header",
         RealBind() + Patched(request, 8, Le16(10)),
         {ack, protocolError, "closed"}},
        {"fragment length above the negotiated one",
         RealBind(5840, 1432) + Patched(request, 8, Le16(3000)),
         {ack, protocolError, "closed"}},
        {"big-endian data",
         Patched(RealBind(), 4, std::string(1, '\0')),
         {protocolError, "closed"}},
        {"unknown packet type",
         RealBind() + Patched(request, 2, "\x63"),
         {ack, protocolError, "closed"}},
        {"response from the client",
         RealBind() + EncodeResponse(3, 0, "", 5840),
         {ack, protocolError, "closed"}},
        {"request with authentication",
         RealBind() + WithAuthTrailer(request),
         {ack, protocolError, "closed"}},
        {"follow-up fragment without a first one",
         RealBind() + Patched(request, 3, std::string(1, kLastFragment)),
         {ack, protocolError, "closed"}},
        {"cancel and orphaned are ignored",
         RealBind() + BareHeader(PduType::Cancel) + BareHeader(PduType::Orphaned) + request,
         {ack, "response op1/0"}},
        {"truncated header", RealBind().substr(0, 9), {"closed"}, true},
        {"disconnect inside a PDU", RealBind() + request.substr(0, 20), {ack, "closed"}, true},
        {"connect and send nothing", "", {"closed"}},
        {"half-sent PDU", RealBind() + request.substr(0, 20), {ack, "closed"}},
    };
    for (const RawCase& row : cases) {
        SCOPED_TRACE(row.name);
        RawConnection connection(SocketPath());
        connection.Send(row.sent);
        if (row.endWriting) connection.EndWriting();
        std::vector<std::string> replies;
        while (replies.size() < row.replies.size()) {
            replies.push_back(NextReply(connection, row.maxReceive));
        }
        EXPECT_EQ(replies, row.replies);
        EXPECT_EQ(CallWithFreshClient(3), "op3/0");
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
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (size_t i = 0; i < kConnections; ++i) {
        connections.push_back(std::make_unique<RawConnection>(SocketPath()));
        connections.back()->Send(RealBind() + CallOf(1));
    }
    size_t answered = 0;
    for (auto& connection : connections) {
        answered += NextReply(*connection, 5840) == "bind_ack(rpcTest) 0/0" &&
                    NextReply(*connection, 5840) == "response done";
    }
    EXPECT_EQ(answered, kConnections);
    const std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(arrived, kConnections);
}

TEST_F(RpcServerTest, StopLeavesCallsInProgressToFinishAndTakesNoNewOnes) {
    std::mutex mutex;
    std::condition_variable signal;
    bool entered = false;
    bool stopReturned = false;
    bool callEnded = false;
    ASSERT_EQ(
        server_.Start(kEndpoint, kInterface,
                      [&](uint16_t opnum, const std::string& stub) {
                          if (opnum != 5) return Echo(opnum, stub);
                          std::unique_lock<std::mutex> lock(mutex);
                          entered = true;
                          signal.notify_all();
                          signal.wait_for(lock, kHangGuard, [&] { return stopReturned; });
                          callEnded = true;
                          return DispatchResult::Reply(stopReturned ? "released" : "Stop waited");
                      }),
        StartResult::Started);
    std::string answer;
    std::thread caller([&] {
        auto client = RpcClient::Connect(kEndpoint, kInterface);
        auto reply = client ? client.Value().Call(5, "") : MakeUnexpected(client.Error());
        answer = reply ? reply.Value() : reply.Error().detail;
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        signal.wait_for(lock, kHangGuard, [&] { return entered; });
    }
    server_.Stop();
    server_.Stop();
    EXPECT_FALSE(tern_test::FileExists(SocketPath()));
    EXPECT_EQ(RpcClient::Connect(kEndpoint, kInterface).Error().kind, RpcErrorKind::NotRunning);
    bool endedBeforeWaitReturned = false;
    std::thread waiter([&] {
        server_.WaitForCalls();
        const std::lock_guard<std::mutex> lock(mutex);
        endedBeforeWaitReturned = callEnded;
    });
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopReturned = true;
        signal.notify_all();
    }
    caller.join();
    waiter.join();
    EXPECT_EQ(answer, "released");
    EXPECT_TRUE(endedBeforeWaitReturned);
}

TEST_F(RpcServerTest, StopInsideACallAnswersItAndClosesTheConnection) {
    ASSERT_EQ(server_.Start(kEndpoint, kInterface,
                            [&](uint16_t, const std::string&) {
                                server_.Stop();
                                return DispatchResult::Reply("stopping");
                            }),
              StartResult::Started);
    auto client = RpcClient::Connect(kEndpoint, kInterface);
    ASSERT_TRUE(client);
    auto first = client.Value().Call(0, "");
    ASSERT_TRUE(first);
    EXPECT_EQ(first.Value(), "stopping");
    EXPECT_EQ(client.Value().Call(0, "").Error().kind, RpcErrorKind::NotRunning);
    EXPECT_EQ(RpcClient::Connect(kEndpoint, kInterface).Error().kind, RpcErrorKind::NotRunning);
}

std::string Mutated(std::string pdu, std::mt19937& random) {
    const auto anywhere = [&](size_t size) { return size == 0 ? 0 : random() % size; };
    switch (random() % 6) {
        case 0:
            for (unsigned i = random() % 4 + 1; i > 0 && !pdu.empty(); --i) {
                pdu[anywhere(pdu.size())] = static_cast<char>(random());
            }
            return pdu;
        case 1:
            return Patched(pdu, 8, Le16(random()));
        case 2:
            return pdu.substr(0, anywhere(pdu.size()));
        case 3:
            return pdu + std::string(random() % 32, static_cast<char>(random()));
        case 4:
            return Patched(pdu, anywhere(kHeaderSize), std::string(1, static_cast<char>(random())));
        default: {
            std::string noise(random() % 64, '\0');
            for (char& c : noise) c = static_cast<char>(random());
            return noise;
        }
    }
}

TEST_F(RpcServerTest, SurvivesRandomAndMutatedPdus) {
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    const std::vector<std::string> seeds = {
        RealBind(),
        BindOf({{0, kInterface, {kNdr20, kNdr64}}, {1, kOtherInterface, {kNdr20}}}),
        BindOf({{4, kInterface, {kNdr20}}}, 5840, 5840, PduType::AlterContext),
        CallOf(0),
        CallOf(kLargeOpnum),
        CallOf(2, 0, 3000, 1432),
        WithAuthTrailer(CallOf(1)),
        BareHeader(PduType::Orphaned),
        EncodeFault(3, 0, Fault{0, kProtocolError}),
    };
    constexpr unsigned kThreads = 4;
    constexpr size_t kPdusPerThread = 25000;
    std::vector<size_t> hangs(kThreads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(20240611 + t);
            for (size_t sent = 0; sent < kPdusPerThread;) {
                RawConnection connection(SocketPath());
                std::string bytes = random() % 2 ? RealBind() : "";
                for (unsigned i = random() % 8 + 1; i > 0; --i, ++sent) {
                    bytes += Mutated(seeds[random() % seeds.size()], random);
                }
                connection.Send(bytes);
                connection.EndWriting();
                while (connection.ReadPdu()) {
                }
                hangs[t] += connection.TimedOut();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(hangs, std::vector<size_t>(kThreads, 0));
    EXPECT_EQ(CallWithFreshClient(1), "op1/0");
}

UniqueFd BoundSocket(const std::string& path) {
    UniqueFd bound(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (bind(bound.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        bound.Reset();
    }
    return bound;
}

TEST_F(RpcServerTest, ClientTellsWhyACallFailed) {
    EXPECT_EQ(RpcClient::Connect(kEndpoint, kInterface).Error().kind, RpcErrorKind::NotRunning);
    {
        // Takes connections into its queue and never answers.
        const UniqueFd silent = BoundSocket(SocketPath());
        ASSERT_EQ(listen(silent.Get(), 1), 0);
        EXPECT_EQ(
            RpcClient::Connect(kEndpoint, kInterface, std::chrono::milliseconds(200)).Error().kind,
            RpcErrorKind::TimedOut);
    }
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    EXPECT_EQ(RpcClient::Connect(kEndpoint, kOtherInterface).Error().kind, RpcErrorKind::Refused);
    auto client = RpcClient::Connect(kEndpoint, kInterface);
    ASSERT_TRUE(client);
    const auto fault = client.Value().Call(9, "");
    ASSERT_FALSE(fault);
    EXPECT_EQ(fault.Error().kind, RpcErrorKind::Fault);
    EXPECT_EQ(fault.Error().faultStatus, kOperationRangeError);
    // Both directions in several fragments.
    const auto large = client.Value().Call(kLargeOpnum, std::string(20000, 'r'));
    ASSERT_TRUE(large);
    EXPECT_EQ(large.Value(), std::string(5000, 'x'));
}

mode_t Permissions(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(RpcServerTest, RegistersAPrivateSocketReplacingOnlyStaleOnes) {
    // What a crashed server leaves: a socket file nobody listens on.
    ASSERT_TRUE(BoundSocket(SocketPath()).Valid());
    ASSERT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::Started);
    EXPECT_EQ(Permissions(SocketPath()), 0600u);
    EXPECT_EQ(Permissions(env_.RuntimeDir()), 0700u);
    EXPECT_EQ(CallWithFreshClient(2), "op2/0");

    RpcServer intruder;
    EXPECT_EQ(intruder.Start(kEndpoint, kInterface, Echo), StartResult::EndpointInUse);
    EXPECT_EQ(CallWithFreshClient(2), "op2/0");
    EXPECT_EQ(server_.Start(kEndpoint, kInterface, Echo), StartResult::AlreadyStarted);

    tern_test::WriteFileBytes(env_.RuntimeDir() + "/notASocket", "data");
    RpcServer misplaced;
    EXPECT_EQ(misplaced.Start("notASocket", kInterface, Echo), StartResult::Unusable);
    EXPECT_EQ(tern_test::ReadFileBytes(env_.RuntimeDir() + "/notASocket"), "data");
    EXPECT_EQ(misplaced.Start("../escape", kInterface, Echo), StartResult::Unusable);
}

}  // namespace
