// The debugger output as a stream: every flush becomes one debugger-output write.
#pragma once

#include <string>

#include "updatelib/base/adaptive_stream.h"

namespace Tern {

struct LogToDebugger {
    void operator()(const std::string& text) const;
};

class DebuggerStream : public AdaptiveStream<LogToDebugger> {};

// The process's debugger stream, created at the first call and alive until exit.
DebuggerStream& GetDebuggerStream();

}  // namespace Tern
