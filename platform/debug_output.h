// Debugger output: the text goes to standard error unchanged, in one write.
#pragma once

#include <string>

namespace platform {

void WriteDebugOutput(const std::string& text);

}  // namespace platform
