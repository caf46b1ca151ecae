#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "updatelib/base/adaptive_stream.h"
#include "updatelib/base/debugger_stream.h"
#include "updatelib/base/diagnostic_channel.h"

namespace {

struct Collect {
    std::vector<std::string>* pieces;
    void operator()(const std::string& text) const { pieces->push_back(text); }
};

TEST(AdaptiveStream, EveryFlushDeliversOnePieceEvenWhenEmpty) {
    std::vector<std::string> pieces;
    Tern::AdaptiveStream<Collect> stream(Collect{&pieces});
    stream.flush();
    stream << "first line\n"
           << "second " << 2 << std::endl;
    stream << "third" << std::endl;
    EXPECT_EQ(pieces, (std::vector<std::string>{"", "first line\nsecond 2\n", "third\n"}));
}

TEST(AdaptiveStream, UnflushedTextIsDiscardedWithTheStream) {
    std::vector<std::string> pieces;
    {
        Tern::AdaptiveStream<Collect> stream(Collect{&pieces});
        stream << "never flushed";
    }
    EXPECT_TRUE(pieces.empty());
}

class DiagnosticRouting : public ::testing::Test {
protected:
    ~DiagnosticRouting() override { Tern::LibraryChannel().SetDiagnosticStream(&std::cerr); }
};

TEST_F(DiagnosticRouting, ChannelsStartOnTheStandardStreams) {
    EXPECT_EQ(&Tern::LibraryDiagnostics(), &std::cerr);
    EXPECT_EQ(&Tern::TrustDiagnostics(), &std::cerr);
    EXPECT_EQ(&Tern::LibraryChannel().Output(), &std::cout);
}

TEST_F(DiagnosticRouting, RedirectedLinesReachTheDebuggerOutputOnePerFlush) {
    Tern::LibraryChannel().SetDiagnosticStream(&Tern::GetDebuggerStream());
    ::testing::internal::CaptureStderr();
    Tern::LibraryDiagnostics() << "Downloaded " << 12 << " bytes";
    const std::string beforeFlush = ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStderr();
    Tern::LibraryDiagnostics() << std::endl;
    EXPECT_EQ(beforeFlush, "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Downloaded 12 bytes\n");
    EXPECT_EQ(&Tern::TrustDiagnostics(), &std::cerr);  // the other channel is independent
}

}  // namespace
