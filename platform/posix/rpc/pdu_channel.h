// PDUs over a connected stream socket: reads whole fragments, one at a time, with limits on
// their size and on how long the peer may take; writes with a bounded wait.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/posix/rpc/pdu.h"

namespace platform::rpc {

enum class ReadStatus {
    Pdu,        // LastHeader() and LastPdu() hold it
    BadHeader,  // LastHeader() and LastProblem() tell what is wrong; the rest was not read
    Closed,     // the peer ended the stream between PDUs
    Truncated,  // the peer ended the stream inside a PDU
    TimedOut,
    Failed,
};

struct ReadLimits {
    size_t maxFragment;
    // How long to wait for the first byte of a PDU.
    std::chrono::milliseconds firstByte;
    // How long the rest of a PDU may take once part of it has arrived.
    std::chrono::milliseconds rest;
    // When set, the PDU must be whole by then, however long the waits above would allow.
    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt;
};

class PduChannel {
public:
    // Borrows `socket`, which must stay open while the channel is used.
    explicit PduChannel(int socket);

    ReadStatus Read(const ReadLimits& limits);
    const Header& LastHeader() const { return header_; }
    HeaderProblem LastProblem() const { return problem_; }
    std::string_view LastPdu() const;

    // Sends every byte; false when the peer is gone or did not take them in time (see
    // SetSendTimeout).
    bool Write(std::string_view bytes);

private:
    using Deadline = std::chrono::steady_clock::time_point;
    enum class FillStatus { More, Stop };

    size_t Available() const { return end_ - begin_; }
    FillStatus Fill(const ReadLimits& limits, std::optional<Deadline>& deadline,
                    ReadStatus& status);
    bool SetReceiveTimeout(std::chrono::milliseconds timeout);
    void MakeRoom(size_t bytes);

    int socket_;
    std::vector<char> buffer_;
    size_t begin_ = 0;  // the PDU returned last starts here
    size_t end_ = 0;
    size_t lastSize_ = 0;
    Header header_;
    HeaderProblem problem_ = HeaderProblem::None;
    std::chrono::milliseconds receiveTimeout_{0};
};

// How long a send on `socket`, or a connect, may wait for the peer.
bool SetSendTimeout(int socket, std::chrono::milliseconds timeout);

}  // namespace platform::rpc
