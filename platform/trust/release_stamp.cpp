#include "platform/trust/release_stamp.h"

#include <algorithm>
#include <iterator>

#include "platform/trust/der_element.h"

namespace platform {
namespace {

using namespace der;

constexpr unsigned char kSignedAttributes = kExplicit0;  // [0] IMPLICIT SET OF Attribute

// The length of a continuation-byte run a UTF-8 lead byte announces; -1 for a byte that
// cannot lead.
int ContinuationCount(unsigned char lead) {
    if (lead < 0x80) return 0;
    if (lead >= 0xc2 && lead <= 0xdf) return 1;
    if (lead >= 0xe0 && lead <= 0xef) return 2;
    if (lead >= 0xf0 && lead <= 0xf4) return 3;
    return -1;
}

// Well-formed UTF-8 (no overlong form, surrogate or code point above U+10FFFF) without C0 or
// C1 control characters: a name that a log line can show as it is.
bool IsDisplayableUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int count = ContinuationCount(lead);
        if (count < 0 || text.size() - i <= static_cast<size_t>(count)) return false;
        if (lead < 0x20 || lead == 0x7f) return false;
        const auto second = static_cast<unsigned char>(count > 0 ? text[i + 1] : 0x80);
        if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second > 0x9f) ||
            (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second > 0x8f) ||
            (lead == 0xc2 && second < 0xa0)) {
            return false;
        }
        for (int k = 1; k <= count; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        }
        i += static_cast<size_t>(count) + 1;
    }
    return true;
}

// Reads the values of one stamp attribute, the content of its SET.
StampReading ReadStampValues(const Element& values, ReleaseStamp* stamp) {
    const unsigned char* at = values.content;
    const unsigned char* end = at + values.size;
    Element value;
    if (!ReadElement(&at, end, &value) || at != end ||
        !DecodeReleaseStamp(value.begin, static_cast<size_t>(end - value.begin), stamp)) {
        return StampReading::Malformed;
    }
    return StampReading::Read;
}

}  // namespace

std::string CheckReleaseStamp(const ReleaseStamp& stamp) {
    if (stamp.product.empty() || stamp.product.size() > kMaxProductNameSize) {
        return "the product name must have 1 to " + std::to_string(kMaxProductNameSize) + " bytes";
    }
    if (!IsDisplayableUtf8(stamp.product)) {
        return "the product name must be UTF-8 without control characters";
    }
    if (!stamp.Present()) return "the release must be a number from 1 to 4294967295";
    return {};
}

std::vector<unsigned char> EncodeReleaseStamp(const ReleaseStamp& stamp) {
    Bytes release;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>(stamp.release >> shift);
        if (release.empty() && byte == 0) continue;
        if (release.empty() && byte >= 0x80) release.push_back(0);
        release.push_back(byte);
    }
    return DerElement(kSequence,
                      {DerElement(kUtf8String, {{stamp.product.begin(), stamp.product.end()}}),
                       DerElement(kInteger, {release})});
}

bool DecodeReleaseStamp(const unsigned char* der, size_t size, ReleaseStamp* stamp) {
    const unsigned char* at = der;
    Element sequence;
    Element product;
    Element release;
    if (!ReadElement(&at, der + size, kSequence, &sequence) || at != der + size) return false;
    at = sequence.content;
    const unsigned char* end = at + sequence.size;
    if (!ReadElement(&at, end, kUtf8String, &product) ||
        !ReadElement(&at, end, kInteger, &release) || at != end) {
        return false;
    }
    // Positive, in its shortest form, and at most 32 bits.
    const unsigned char* digits = release.content;
    const bool padded = release.size > 1 && digits[0] == 0;
    if (release.size == 0 || (digits[0] & 0x80) || (padded && digits[1] < 0x80) ||
        release.size > (padded ? 5u : 4u)) {
        return false;
    }
    ReleaseStamp decoded{std::string(product.content, product.content + product.size), 0};
    for (size_t i = 0; i < release.size; ++i) decoded.release = decoded.release << 8 | digits[i];
    if (!CheckReleaseStamp(decoded).empty()) return false;
    *stamp = std::move(decoded);
    return true;
}

StampReading FindReleaseStamp(const unsigned char* attributes, size_t size, ReleaseStamp* stamp) {
    StampReading reading = StampReading::Absent;
    const unsigned char* at = attributes;
    const unsigned char* end = attributes + size;
    while (at != end) {
        Element attribute;
        Element type;
        Element values;
        if (!ReadElement(&at, end, kSequence, &attribute)) return StampReading::Malformed;
        const unsigned char* part = attribute.content;
        const unsigned char* partEnd = part + attribute.size;
        if (!ReadElement(&part, partEnd, &type) || !ReadElement(&part, partEnd, kSet, &values) ||
            part != partEnd) {
            return StampReading::Malformed;
        }
        if (!std::equal(type.begin, values.begin, std::begin(kReleaseStampOidDer),
                        std::end(kReleaseStampOidDer))) {
            continue;
        }
        if (reading != StampReading::Absent) return StampReading::Malformed;
        reading = ReadStampValues(values, stamp);
        if (reading == StampReading::Malformed) return reading;
    }
    return reading;
}

StampReading FindSignerReleaseStamp(const unsigned char* signerInfo, size_t size,
                                    ReleaseStamp* stamp) {
    const unsigned char* at = signerInfo;
    Element info;
    Element skipped;
    if (!ReadElement(&at, signerInfo + size, kSequence, &info)) return StampReading::Malformed;
    at = info.content;
    const unsigned char* end = at + info.size;
    // The version, the signer's identifier and the digest algorithm come first.
    for (int i = 0; i < 3; ++i) {
        if (!ReadElement(&at, end, &skipped)) return StampReading::Malformed;
    }
    Element attributes;
    if (!ReadElement(&at, end, kSignedAttributes, &attributes)) return StampReading::Absent;
    return FindReleaseStamp(attributes.content, attributes.size, stamp);
}

}  // namespace platform
