// Debugger output: the text goes to standard error unchanged, in one write.
#pragma once

#include <string>

namespace platform {

void WriteDebugOutput(const std::string& text);

// Makes writes to a pipe without reader fail with EPIPE instead of ending the process, unless
// the program set a SIGPIPE disposition of its own. WriteDebugOutput does it on first use; a
// program whose other writers (a toolkit's warnings on standard error) may meet such a pipe
// calls it first thing.
void IgnoreBrokenPipes();

}  // namespace platform
