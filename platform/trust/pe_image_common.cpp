#include "platform/trust/pe_image.h"

#include <algorithm>

#include "platform/trust/der_element.h"

namespace platform {
namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNewHeaderOffsetField = 60;  // e_lfanew
// "PE\0\0", the file header, and the optional header up to the end of its security directory
// in the larger PE32+ layout.
constexpr uint32_t kNtHeadersSize = 4 + 20 + 112 + 5 * 8;
constexpr uint32_t kSectionCountField = 4 + 2;
constexpr uint32_t kOptionalHeaderSizeField = 4 + 16;
constexpr uint32_t kOptionalHeader = 4 + 20;
// Where PE32 and PE32+ agree.
constexpr uint32_t kHeadersSizeField = kOptionalHeader + 60;  // SizeOfHeaders
constexpr uint32_t kChecksumField = kOptionalHeader + 64;
constexpr uint32_t kSecurityDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kMaxSections = 96;  // the loader's limit

PeLayout LayoutProblem(const char* text) {
    PeLayout layout;
    layout.problem = text;
    return layout;
}

PeSignature SignatureProblem(const char* text, const PeLayout& layout = {}) {
    PeSignature signature;
    signature.problem = text;
    signature.layout = layout;
    return signature;
}

uint64_t Aligned8(uint64_t size) { return (size + 7) & ~uint64_t{7}; }

// The size of the DER element at the start of `bytes`, its header included, when it is a
// SEQUENCE with a definite length in its shortest form that fits; 0 otherwise.
uint32_t DerSequenceSize(const unsigned char* bytes, uint32_t available) {
    const unsigned char* at = bytes;
    der::Element sequence;
    return der::ReadElement(&at, bytes + available, der::kSequence, &sequence)
               ? static_cast<uint32_t>(at - bytes)
               : 0;
}

// The digest walks the headers, then the sections in file order, then what follows the last
// one: bytes between them would be left out, and overlapping sections would be counted twice.
const char* CheckSections(const unsigned char* table, uint32_t count, uint32_t headersSize,
                          uint64_t imageEnd) {
    std::vector<std::pair<uint32_t, uint32_t>> sections;  // (offset, size) of the raw data
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* section = table + i * kSectionHeaderSize;
        const uint32_t size = LittleEndian(section + 16, 4);
        if (size != 0) sections.emplace_back(LittleEndian(section + 20, 4), size);
    }
    std::sort(sections.begin(), sections.end());
    uint64_t next = headersSize;
    for (const auto& [offset, size] : sections) {
        if (offset != next)
            return "the program's sections do not follow its headers and each other";
        next += size;
    }
    return next <= imageEnd ? nullptr : "the program's sections run past its end";
}

}  // namespace

uint32_t LittleEndian(const unsigned char* bytes, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

void PutLittleEndian(uint32_t value, unsigned char* bytes, int size) {
    for (int i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool LooksLikePeProgram(const PeReader& read, uint64_t fileSize) {
    unsigned char magic[2];
    return fileSize >= sizeof magic && read(0, magic, sizeof magic) && magic[0] == 'M' &&
           magic[1] == 'Z';
}

PeLayout ReadPeLayout(const PeReader& read, uint64_t fileSize) {
    unsigned char dos[kDosHeaderSize];
    if (fileSize < kDosHeaderSize || fileSize > UINT32_MAX || !read(0, dos, kDosHeaderSize) ||
        dos[0] != 'M' || dos[1] != 'Z') {
        return LayoutProblem("the file is not a PE program");
    }
    const uint32_t ntHeaders = LittleEndian(dos + kNewHeaderOffsetField, 4);
    unsigned char nt[kNtHeadersSize];
    if (ntHeaders > fileSize || fileSize - ntHeaders < kNtHeadersSize ||
        !read(ntHeaders, nt, kNtHeadersSize) || LittleEndian(nt, 4) != 0x4550) {
        return LayoutProblem("the file is not a PE program");
    }
    const uint32_t optionalHeaderSize = LittleEndian(nt + kOptionalHeaderSizeField, 2);
    const uint32_t magic = LittleEndian(nt + kOptionalHeader, 2);
    // PE32 and PE32+ differ in where the data directories begin.
    const uint32_t directories = magic == 0x10b ? 96 : magic == 0x20b ? 112 : 0;
    if (directories == 0) return LayoutProblem("the file is not a PE program");
    const uint32_t count = LittleEndian(nt + kOptionalHeader + directories - 4, 4);
    const uint32_t security = directories + kSecurityDirectory * 8;
    if (count <= kSecurityDirectory || optionalHeaderSize < security + 8) {
        return LayoutProblem("the program's header has no security directory");
    }
    PeLayout layout;
    layout.checksumOffset = ntHeaders + kChecksumField;
    layout.securityEntryOffset = ntHeaders + kOptionalHeader + security;
    layout.tableOffset = LittleEndian(nt + kOptionalHeader + security, 4);
    layout.tableSize = LittleEndian(nt + kOptionalHeader + security + 4, 4);
    layout.imageEnd =
        layout.tableSize == 0 ? fileSize : std::min<uint64_t>(layout.tableOffset, fileSize);

    const uint32_t sectionCount = LittleEndian(nt + kSectionCountField, 2);
    const uint64_t sectionTable = uint64_t{ntHeaders} + kOptionalHeader + optionalHeaderSize;
    const uint32_t sectionTableSize = sectionCount * kSectionHeaderSize;
    const uint32_t headersSize = LittleEndian(nt + kHeadersSizeField, 4);
    if (sectionCount > kMaxSections || sectionTable + sectionTableSize > headersSize ||
        headersSize > layout.imageEnd) {
        return LayoutProblem("the program's headers do not fit its section table or the file");
    }
    std::vector<unsigned char> sections(sectionTableSize);
    if (!read(sectionTable, sections.data(), sectionTableSize)) {
        return LayoutProblem("the program's headers do not fit its section table or the file");
    }
    if (const char* problem =
            CheckSections(sections.data(), sectionCount, headersSize, layout.imageEnd)) {
        return LayoutProblem(problem);
    }
    return layout;
}

PeSignature ReadPeSignature(const PeReader& read, uint64_t fileSize) {
    const PeLayout layout = ReadPeLayout(read, fileSize);
    if (!layout.problem.empty()) return SignatureProblem(layout.problem.c_str());
    const uint32_t offset = layout.tableOffset;
    const uint32_t size = layout.tableSize;
    if (size == 0) return SignatureProblem("the program is not signed", layout);
    if (size > kMaxCertificateTableSize) {
        return SignatureProblem("the certificate table is too large", layout);
    }
    if (uint64_t{offset} + size != fileSize || offset % 8 != 0) {
        return SignatureProblem("the certificate table does not end the file", layout);
    }
    std::vector<unsigned char> table(size);
    if (size < kCertificateHeaderSize || !read(offset, table.data(), size)) {
        return SignatureProblem("the certificate table cannot be read", layout);
    }
    const uint32_t length = LittleEndian(table.data(), 4);
    if (length < kCertificateHeaderSize || length > size) {
        return SignatureProblem("the certificate's length does not fit the certificate table",
                                layout);
    }
    if (LittleEndian(table.data() + 4, 2) != kCertificateRevision ||
        LittleEndian(table.data() + 6, 2) != kPkcsSignedData) {
        return SignatureProblem("the certificate is not an Authenticode signature", layout);
    }
    const uint32_t der =
        DerSequenceSize(table.data() + kCertificateHeaderSize, length - kCertificateHeaderSize);
    if (der == 0) return SignatureProblem("the signature is not a DER structure", layout);
    const auto signatureEnd = table.begin() + kCertificateHeaderSize + der;
    if (Aligned8(kCertificateHeaderSize + der) != size ||
        !std::all_of(signatureEnd, table.end(), [](unsigned char c) { return c == 0; })) {
        return SignatureProblem(
            "the certificate table holds more than the signature and its padding", layout);
    }
    PeSignature signature;
    signature.layout = layout;
    signature.der.assign(table.begin() + kCertificateHeaderSize, signatureEnd);
    return signature;
}

std::vector<unsigned char> CertificateTable(const std::vector<unsigned char>& der) {
    const uint32_t size = static_cast<uint32_t>(Aligned8(kCertificateHeaderSize + der.size()));
    std::vector<unsigned char> table(size);
    // The length counts the padding, as the system's own signing tool writes it.
    PutLittleEndian(size, table.data(), 4);
    PutLittleEndian(kCertificateRevision, table.data() + 4, 2);
    PutLittleEndian(kPkcsSignedData, table.data() + 6, 2);
    std::copy(der.begin(), der.end(), table.begin() + kCertificateHeaderSize);
    return table;
}

}  // namespace platform
