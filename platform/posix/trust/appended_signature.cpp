#include "platform/posix/trust/appended_signature.h"

#include <sys/stat.h>

#include <cstring>

#include "platform/posix/fd_io.h"

namespace platform {
namespace {

constexpr unsigned char kIdTypePkcs7 = 2;
constexpr size_t kTrailerSize = kSignatureDescriptorSize + kSignatureMarkerSize;

// The CMS length from a descriptor; 0 when any other field differs from the kernel's layout.
uint32_t DescribedLength(const unsigned char* descriptor) {
    static const unsigned char kExpectedFields[8] = {0, 0, kIdTypePkcs7, 0, 0, 0, 0, 0};
    if (std::memcmp(descriptor, kExpectedFields, sizeof kExpectedFields) != 0) return 0;
    return static_cast<uint32_t>(descriptor[8]) << 24 | static_cast<uint32_t>(descriptor[9]) << 16 |
           static_cast<uint32_t>(descriptor[10]) << 8 | descriptor[11];
}

AppendedSignature Problem(const char* text) {
    AppendedSignature result;
    result.problem = text;
    return result;
}

}  // namespace

AppendedSignature ReadAppendedSignature(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return Problem("not a regular file");
    const uint64_t fileSize = static_cast<uint64_t>(info.st_size);
    if (fileSize < kTrailerSize) return Problem("no appended signature");

    unsigned char trailer[kTrailerSize];
    if (!ReadAllAt(fd, trailer, kTrailerSize, fileSize - kTrailerSize)) {
        return Problem("the file could not be read");
    }
    if (std::memcmp(trailer + kSignatureDescriptorSize, kSignatureMarker, kSignatureMarkerSize) !=
        0) {
        return Problem("no appended signature");
    }
    const uint32_t cmsSize = DescribedLength(trailer);
    if (cmsSize == 0) return Problem("malformed signature descriptor");
    if (cmsSize > kMaxSignatureSize || cmsSize > fileSize - kTrailerSize) {
        return Problem("signature length does not fit the file");
    }

    AppendedSignature result;
    result.payloadSize = fileSize - kTrailerSize - cmsSize;
    result.cms.resize(cmsSize);
    if (!ReadAllAt(fd, result.cms.data(), cmsSize, result.payloadSize)) {
        return Problem("the file could not be read");
    }
    return result;
}

std::vector<unsigned char> BuildSignatureTrailer(const std::vector<unsigned char>& cms) {
    std::vector<unsigned char> trailer(cms);
    const auto size = static_cast<uint32_t>(cms.size());
    const unsigned char descriptor[kSignatureDescriptorSize] = {
        0,
        0,
        kIdTypePkcs7,
        0,
        0,
        0,
        0,
        0,
        static_cast<unsigned char>(size >> 24),
        static_cast<unsigned char>(size >> 16),
        static_cast<unsigned char>(size >> 8),
        static_cast<unsigned char>(size)};
    trailer.insert(trailer.end(), descriptor, descriptor + sizeof descriptor);
    trailer.insert(trailer.end(), kSignatureMarker, kSignatureMarker + kSignatureMarkerSize);
    return trailer;
}

}  // namespace platform
