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

// Empty when `stamp` meets `requirement`; otherwise the verdict's text.
std::string StampRefusal(const platform::ReleaseStamp& stamp,
                         const ReleaseRequirement& requirement) {
    if (!stamp.Present()) {
        return requirement.acceptUnstamped ? std::string()
                                           : "the signature carries no release stamp.";
    }
    if (stamp.product != requirement.product) {
        return "stamped for product " + stamp.product + ", this is " + requirement.product + ".";
    }
    const bool retry =
        stamp.release == requirement.highestStarted && requirement.highestMayRunAgain;
    if (stamp.release <= requirement.highestStarted && !retry) {
        return "release " + std::to_string(stamp.release) + " is not newer than " +
               std::to_string(requirement.highestStarted) + ".";
    }
    return {};
}

}  // namespace

bool verifyFileTrust(const std::string& path, const platform::File& file,
                     const ReleaseRequirement& requirement, uint64_t* payloadSize,
                     uint32_t* release) {
    std::ostream& diagnostics = TrustDiagnostics();
    const platform::TrustAnchors anchors = PublisherAnchors();
    if (!anchors.pinProblem.empty()) diagnostics << anchors.pinProblem << std::endl;
    diagnostics << "File location:" << path << "verifying file signature... ";
    platform::ReleaseStamp stamp;
    const uint32_t code =
        file.Valid() ? platform::VerifyFileTrust(file, anchors, nullptr, payloadSize, &stamp)
                     : platform::VerifyFileTrust(path, anchors, nullptr, &stamp);
    if (code != platform::kTrustOk) {
        diagnostics << "content has not been approved by trust provider. Win32 Hresult=0x"
                    << std::hex << code << std::dec << std::endl;
        return false;
    }
    if (const std::string refusal = StampRefusal(stamp, requirement); !refusal.empty()) {
        diagnostics << refusal << std::endl;
        return false;
    }
    diagnostics << "content approoved." << std::endl;
    if (release) *release = stamp.release;
    return true;
}

}  // namespace Tern
