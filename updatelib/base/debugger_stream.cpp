#include "updatelib/base/debugger_stream.h"

#include "platform/debug_output.h"

namespace Tern {

void LogToDebugger::operator()(const std::string& text) const { platform::WriteDebugOutput(text); }

DebuggerStream& GetDebuggerStream() {
    static DebuggerStream stream;
    return stream;
}

}  // namespace Tern
