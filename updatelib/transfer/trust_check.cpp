#include "updatelib/transfer/trust_check.h"

#include <ostream>

#include "platform/trust/trust_provider.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/file_functions.h"

namespace Tern {
namespace {

// A game maker who ships this file trusts only its own publishers, not every public CA of the
// system's store; a pin that is there but unusable trusts nobody rather than everybody.
platform::TrustAnchors PublisherAnchors() {
    return platform::OptionalPinAnchors(GetExecutableDirectory() + "/Resources/trust.pem");
}

}  // namespace

bool verifyFileTrust(const std::string& path, const platform::File& file, uint64_t* payloadSize) {
    std::ostream& diagnostics = TrustDiagnostics();
    const platform::TrustAnchors anchors = PublisherAnchors();
    if (!anchors.pinProblem.empty()) diagnostics << anchors.pinProblem << std::endl;
    diagnostics << "File location:" << path << "verifying file signature... ";
    const uint32_t code = file.Valid()
                              ? platform::VerifyFileTrust(file, anchors, nullptr, payloadSize)
                              : platform::VerifyFileTrust(path, anchors);
    if (code == platform::kTrustOk) {
        diagnostics << "content approoved." << std::endl;
        return true;
    }
    diagnostics << "content has not been approved by trust provider. Win32 Hresult=0x" << std::hex
                << code << std::dec << std::endl;
    return false;
}

}  // namespace Tern
