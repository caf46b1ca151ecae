// Where diagnostic lines for developers go.
//
// Two process-wide channels exist: one for the update library's host, engine and download
// code, one for the file-trust check. Both start on the process's standard streams; the
// launcher points them at the debugger stream before it starts an update run.
#pragma once

#include <atomic>
#include <ostream>

namespace Tern {

class DiagnosticChannel {
public:
    DiagnosticChannel();

    std::ostream& Output() const { return *output_.load(std::memory_order_acquire); }
    std::ostream& Diagnostic() const { return *diagnostic_.load(std::memory_order_acquire); }
    // `stream` must outlive every writer of the channel; null is ignored.
    void SetDiagnosticStream(std::ostream* stream);

private:
    std::atomic<std::ostream*> output_;
    std::atomic<std::ostream*> diagnostic_;
};

DiagnosticChannel& LibraryChannel();
std::ostream& LibraryDiagnostics();

DiagnosticChannel& TrustChannel();
std::ostream& TrustDiagnostics();

}  // namespace Tern
