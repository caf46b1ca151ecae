// The string resources of the running program, which a resource editor can change in the built
// executable. Windows alone: a Linux program carries none, so the Linux build has no realisation.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// String resource `id` of the program's executable in UTF-8; empty when it carries none.
std::string LoadModuleString(uint16_t id);

}  // namespace platform
