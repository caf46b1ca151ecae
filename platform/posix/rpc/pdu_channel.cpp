#include "platform/posix/rpc/pdu_channel.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace platform::rpc {
namespace {

// What one receive asks for: a whole request or several pipelined ones usually fit.
constexpr size_t kReadChunk = 8192;

timeval ToTimeval(std::chrono::milliseconds duration) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(duration.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>(duration.count() % 1000 * 1000);
    return value;
}

}  // namespace

PduChannel::PduChannel(int socket) : socket_(socket) {}

std::string_view PduChannel::LastPdu() const {
    return std::string_view(buffer_.data() + begin_, lastSize_);
}

ReadStatus PduChannel::Read(const ReadLimits& limits) {
    begin_ += lastSize_;
    lastSize_ = 0;
    if (begin_ == end_) begin_ = end_ = 0;
    std::optional<Deadline> deadline = limits.deadline;
    ReadStatus status = ReadStatus::Pdu;
    while (Available() < kHeaderSize) {
        if (Fill(limits, deadline, status) == FillStatus::Stop) return status;
    }
    header_ = *DecodeHeader(std::string_view(buffer_.data() + begin_, Available()));
    problem_ = CheckHeader(header_, limits.maxFragment);
    if (problem_ != HeaderProblem::None) return ReadStatus::BadHeader;
    while (Available() < header_.fragmentLength) {
        if (Fill(limits, deadline, status) == FillStatus::Stop) return status;
    }
    lastSize_ = header_.fragmentLength;
    return ReadStatus::Pdu;
}

// Waits for the first byte of a PDU as long as the peer may stay idle; once part of a PDU is
// here, the rest must come before one deadline, however slowly it trickles in. A deadline given
// by the caller bounds the whole wait.
PduChannel::FillStatus PduChannel::Fill(const ReadLimits& limits, std::optional<Deadline>& deadline,
                                        ReadStatus& status) {
    std::chrono::milliseconds wait = limits.firstByte;
    if (Available() > 0 || deadline) {
        const Deadline now = std::chrono::steady_clock::now();
        if (!deadline) deadline = now + limits.rest;
        wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
        if (wait.count() <= 0) {
            status = ReadStatus::TimedOut;
            return FillStatus::Stop;
        }
    }
    if (!SetReceiveTimeout(wait)) {
        status = ReadStatus::Failed;
        return FillStatus::Stop;
    }
    MakeRoom(kReadChunk);
    for (;;) {
        const ssize_t received = recv(socket_, buffer_.data() + end_, buffer_.size() - end_, 0);
        if (received > 0) {
            end_ += static_cast<size_t>(received);
            return FillStatus::More;
        }
        if (received < 0 && errno == EINTR) continue;
        if (received == 0 || errno == ECONNRESET) {
            status = Available() > 0 ? ReadStatus::Truncated : ReadStatus::Closed;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            status = ReadStatus::TimedOut;
        } else {
            status = ReadStatus::Failed;
        }
        return FillStatus::Stop;
    }
}

bool PduChannel::SetReceiveTimeout(std::chrono::milliseconds timeout) {
    if (timeout == receiveTimeout_) return true;
    const timeval value = ToTimeval(timeout);
    if (setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0) return false;
    receiveTimeout_ = timeout;
    return true;
}

void PduChannel::MakeRoom(size_t bytes) {
    if (buffer_.size() - end_ >= bytes) return;
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, Available());
        end_ -= begin_;
        begin_ = 0;
    }
    if (buffer_.size() - end_ < bytes) buffer_.resize(end_ + bytes);
}

bool PduChannel::Write(std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written =
            send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written > 0) {
            sent += static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool SetSendTimeout(int socket, std::chrono::milliseconds timeout) {
    const timeval value = ToTimeval(timeout);
    return setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) == 0;
}

}  // namespace platform::rpc
