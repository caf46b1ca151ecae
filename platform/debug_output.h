// Debugger output: on Linux the text goes to standard error unchanged, in one write; on Windows
// to the debugger, up to its first NUL.
#pragma once

#include <string>

namespace platform {

void WriteDebugOutput(const std::string& text);

// Makes writes to a pipe without reader fail with EPIPE instead of ending the process, unless
// the program set a SIGPIPE disposition of its own (Windows has no such signal: nothing to do).
// WriteDebugOutput does it on first use; a program whose other writers (a toolkit's warnings on
// standard error) may meet such a pipe calls it first thing.
void IgnoreBrokenPipes();

}  // namespace platform
