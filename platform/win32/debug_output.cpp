#include "platform/debug_output.h"

#include <windows.h>

namespace platform {

// A debugger collects the text in one piece, whichever thread or process sends it. The call
// takes a C string, so the text ends at its first NUL there.
void WriteDebugOutput(const std::string& text) { OutputDebugStringA(text.c_str()); }

// Writing to a pipe without reader fails on Windows; no signal ends the process.
void IgnoreBrokenPipes() {}

}  // namespace platform
