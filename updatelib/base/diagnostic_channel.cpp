#include "updatelib/base/diagnostic_channel.h"

#include <iostream>

namespace Tern {

DiagnosticChannel::DiagnosticChannel() : output_(&std::cout), diagnostic_(&std::cerr) {}

void DiagnosticChannel::SetDiagnosticStream(std::ostream* stream) {
    if (stream) diagnostic_.store(stream, std::memory_order_release);
}

DiagnosticChannel& LibraryChannel() {
    static DiagnosticChannel channel;
    return channel;
}

std::ostream& LibraryDiagnostics() { return LibraryChannel().Diagnostic(); }

DiagnosticChannel& TrustChannel() {
    static DiagnosticChannel channel;
    return channel;
}

std::ostream& TrustDiagnostics() { return TrustChannel().Diagnostic(); }

}  // namespace Tern
