#include "platform/trust/der_element.h"

namespace platform::der {

bool ReadElement(const unsigned char** at, const unsigned char* end, Element* element) {
    const unsigned char* p = *at;
    if (end - p < 2 || (p[0] & 0x1f) == 0x1f) return false;
    element->begin = p;
    element->tag = p[0];
    size_t length = p[1];
    p += 2;
    if (length & 0x80) {
        const size_t octets = length & 0x7f;
        if (octets == 0 || octets > 4 || static_cast<size_t>(end - p) < octets || *p == 0) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < octets; ++i) length = length << 8 | *p++;
        if (length < 0x80) return false;
    }
    if (static_cast<size_t>(end - p) < length) return false;
    element->content = p;
    element->size = length;
    *at = p + length;
    return true;
}

bool ReadElement(const unsigned char** at, const unsigned char* end, unsigned char tag,
                 Element* element) {
    return ReadElement(at, end, element) && element->tag == tag;
}

Bytes DerElement(unsigned char tag, std::initializer_list<Bytes> parts) {
    size_t length = 0;
    for (const Bytes& part : parts) length += part.size();
    Bytes element{tag};
    if (length < 0x80) {
        element.push_back(static_cast<unsigned char>(length));
    } else {
        Bytes octets;
        for (size_t rest = length; rest != 0; rest >>= 8) {
            octets.insert(octets.begin(), static_cast<unsigned char>(rest));
        }
        element.push_back(static_cast<unsigned char>(0x80 | octets.size()));
        element.insert(element.end(), octets.begin(), octets.end());
    }
    for (const Bytes& part : parts) element.insert(element.end(), part.begin(), part.end());
    return element;
}

}  // namespace platform::der
