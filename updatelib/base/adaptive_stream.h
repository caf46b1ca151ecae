// Output streams that hand each flushed piece of text to a sink.
//
// Everything inserted between two flushes reaches the sink as one piece, so a message built
// from several insertions and ended with std::endl arrives whole. Text that is never flushed
// is discarded with the stream.
#pragma once

#include <ostream>
#include <sstream>
#include <string>
#include <utility>

namespace Tern {

template <typename Sink>
class AdaptiveStreamBuf : public std::basic_stringbuf<char> {
public:
    explicit AdaptiveStreamBuf(Sink* sink)
        : std::basic_stringbuf<char>(std::ios_base::out), sink_(sink) {}

protected:
    // Delivers the collected text, even when empty, and starts over. Never fails: what the
    // sink does with the text is its own business.
    int sync() override {
        std::string piece = str();
        (*sink_)(piece);
        str(std::string());
        return 0;
    }

private:
    Sink* sink_;
};

template <typename Sink>
class AdaptiveStream : public std::basic_ostream<char> {
public:
    explicit AdaptiveStream(Sink sink = Sink())
        : std::basic_ostream<char>(nullptr), sink_(std::move(sink)), buffer_(&sink_) {
        rdbuf(&buffer_);
    }
    AdaptiveStream(const AdaptiveStream&) = delete;
    AdaptiveStream& operator=(const AdaptiveStream&) = delete;
    ~AdaptiveStream() override = default;

private:
    Sink sink_;  // declared before buffer_, which points at it
    AdaptiveStreamBuf<Sink> buffer_;
};

}  // namespace Tern
