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

// A message built from several insertions arrives whole; what is never flushed never arrives.
TEST(AdaptiveStream, EveryFlushDeliversOnePieceEvenWhenEmpty) {
    std::vector<std::string> pieces;
    {
        Tern::AdaptiveStream<Collect> stream(Collect{&pieces});
        stream.flush();
        stream << "first line\n"
               << "second " << 2 << std::endl;
        stream << "third" << std::endl;
        stream << "never flushed";
    }
    EXPECT_EQ(pieces, (std::vector<std::string>{"", "first line\nsecond 2\n", "third\n"}));
}

TEST(AdaptiveStream, RedirectedDiagnosticsReachTheDebuggerOutputOnePerFlush) {
    Tern::LibraryChannel().SetDiagnosticStream(&Tern::GetDebuggerStream());
    ::testing::internal::CaptureStderr();
    Tern::LibraryDiagnostics() << "Downloaded " << 12 << " bytes";
    const std::string beforeFlush = ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStderr();
    Tern::LibraryDiagnostics() << std::endl;
    Tern::LibraryChannel().SetDiagnosticStream(&std::cerr);
    EXPECT_EQ(beforeFlush, "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Downloaded 12 bytes\n");
    EXPECT_EQ(&Tern::TrustDiagnostics(), &std::cerr);  // the other channel is independent
}

}  // namespace
