#include "platform/console.h"

namespace platform {

// Linux writes the bytes as they are, and its terminals interpret the sequences themselves.
void UseStandardOutputAsWritten() {}

}  // namespace platform
