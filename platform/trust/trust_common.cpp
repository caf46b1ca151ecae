#include "platform/trust/trust_common.h"

#include "platform/files.h"
#include "platform/trust/trust_provider.h"

namespace platform {
namespace {

// A few CA certificates are a few KiB; a larger pin is not one.
constexpr size_t kMaxPinSize = 1 << 20;

TrustAnchors PinProblem(const std::string& path, const std::string& problem) {
    TrustAnchors anchors;
    anchors.pinned = true;
    anchors.pinProblem = "the pinned certificates " + path + " trust nothing: " + problem;
    return anchors;
}

}  // namespace

TrustAnchors ReadPinnedAnchors(const std::string& path) {
    std::optional<std::string> pem = ReadRegularFile(path, kMaxPinSize, true);
    if (!pem) return PinProblem(path, "not a readable regular file of at most 1 MiB");
    if (!HoldsPemCertificates(*pem)) return PinProblem(path, "not a list of PEM certificates");
    TrustAnchors anchors;
    anchors.pinned = true;
    anchors.pinnedPem = std::move(*pem);
    return anchors;
}

TrustAnchors OptionalPinAnchors(const std::string& path) {
    return NothingAt(path) ? TrustAnchors{} : ReadPinnedAnchors(path);
}

}  // namespace platform
