#include "platform/win32/pe_signature.h"

#include <algorithm>

namespace platform {
namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNewHeaderOffsetField = 60;  // e_lfanew
// "PE\0\0", the file header, and the optional header up to the end of its security directory
// in the larger PE32+ layout.
constexpr uint32_t kNtHeadersSize = 4 + 20 + 112 + 5 * 8;
constexpr uint32_t kOptionalHeader = 4 + 20;
constexpr uint32_t kSecurityDirectory = 4;      // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr uint32_t kCertificateHeaderSize = 8;  // dwLength, wRevision, wCertificateType
constexpr uint32_t kCertificateRevision = 0x0200;
constexpr uint32_t kPkcsSignedData = 2;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA

PeSignature Problem(const char* text) {
    PeSignature signature;
    signature.problem = text;
    return signature;
}

uint32_t LittleEndian(const unsigned char* bytes, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

uint64_t Aligned8(uint64_t size) { return (size + 7) & ~uint64_t{7}; }

bool ReadAt(HANDLE file, uint64_t offset, unsigned char* buffer, uint32_t size) {
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file, buffer, size, &got, &at) || got == 0) return false;
        buffer += got;
        offset += got;
        size -= got;
    }
    return true;
}

// The size of the DER element at the start of `bytes`, its header included, when it is a
// SEQUENCE with a definite length in its shortest form that fits; 0 otherwise.
uint32_t DerSequenceSize(const unsigned char* bytes, uint32_t available) {
    if (available < 2 || bytes[0] != 0x30) return 0;
    uint32_t header = 2;
    uint32_t length = bytes[1];
    if (length >= 0x80) {
        const uint32_t octets = length & 0x7f;
        // Lengths fit in three octets here; a leading zero or a short length is not DER.
        if (octets == 0 || octets > 3 || available < 2 + octets || bytes[2] == 0) return 0;
        length = 0;
        for (uint32_t i = 0; i < octets; ++i) length = length << 8 | bytes[2 + i];
        if (length < 0x80) return 0;
        header += octets;
    }
    return length <= available - header ? header + length : 0;
}

// The security directory's file offset and size; `size` 0 when the program is not signed.
bool ReadSecurityDirectory(HANDLE file, uint64_t fileSize, uint32_t* offset, uint32_t* size) {
    unsigned char dos[kDosHeaderSize];
    if (fileSize < kDosHeaderSize || !ReadAt(file, 0, dos, kDosHeaderSize) || dos[0] != 'M' ||
        dos[1] != 'Z') {
        return false;
    }
    const uint64_t ntHeaders = LittleEndian(dos + kNewHeaderOffsetField, 4);
    unsigned char nt[kNtHeadersSize];
    if (ntHeaders > fileSize || fileSize - ntHeaders < kNtHeadersSize ||
        !ReadAt(file, ntHeaders, nt, kNtHeadersSize) || LittleEndian(nt, 4) != 0x4550) {
        return false;
    }
    const uint32_t optionalHeaderSize = LittleEndian(nt + 4 + 16, 2);
    const uint32_t magic = LittleEndian(nt + kOptionalHeader, 2);
    // PE32 and PE32+ differ in where the data directories begin.
    const uint32_t directories = magic == 0x10b ? 96 : magic == 0x20b ? 112 : 0;
    if (directories == 0) return false;
    const uint32_t count = LittleEndian(nt + kOptionalHeader + directories - 4, 4);
    const uint32_t security = directories + kSecurityDirectory * 8;
    if (count <= kSecurityDirectory || optionalHeaderSize < security + 8) return false;
    *offset = LittleEndian(nt + kOptionalHeader + security, 4);
    *size = LittleEndian(nt + kOptionalHeader + security + 4, 4);
    return true;
}

}  // namespace

PeSignature ReadPeSignature(HANDLE file, uint64_t fileSize) {
    uint32_t offset = 0;
    uint32_t size = 0;
    if (!ReadSecurityDirectory(file, fileSize, &offset, &size)) {
        return Problem("the file is not a PE program");
    }
    if (size == 0) return Problem("the program is not signed");
    if (size > kMaxCertificateTableSize) return Problem("the certificate table is too large");
    if (uint64_t{offset} + size != fileSize || offset % 8 != 0) {
        return Problem("the certificate table does not end the file");
    }
    std::vector<unsigned char> table(size);
    if (size < kCertificateHeaderSize || !ReadAt(file, offset, table.data(), size)) {
        return Problem("the certificate table cannot be read");
    }
    const uint32_t length = LittleEndian(table.data(), 4);
    if (length < kCertificateHeaderSize || length > size) {
        return Problem("the certificate's length does not fit the certificate table");
    }
    if (LittleEndian(table.data() + 4, 2) != kCertificateRevision ||
        LittleEndian(table.data() + 6, 2) != kPkcsSignedData) {
        return Problem("the certificate is not an Authenticode signature");
    }
    const uint32_t der =
        DerSequenceSize(table.data() + kCertificateHeaderSize, length - kCertificateHeaderSize);
    if (der == 0) return Problem("the signature is not a DER structure");
    const auto signatureEnd = table.begin() + kCertificateHeaderSize + der;
    if (Aligned8(kCertificateHeaderSize + der) != size ||
        !std::all_of(signatureEnd, table.end(), [](unsigned char c) { return c == 0; })) {
        return Problem("the certificate table holds more than the signature and its padding");
    }
    PeSignature signature;
    signature.der.assign(table.begin() + kCertificateHeaderSize, signatureEnd);
    return signature;
}

}  // namespace platform
